// BIOs over a caller's method record. OpenSSL 3 hides the BIO structure, so each caller
// record gets one OpenSSL method whose functions forward to the caller's, and the record's
// num and ptr fields live in our per-BIO data; init, flags and shutdown are the BIO's own.
#include "cu_ssl.h"

#include <openssl/bio.h>

#include <exception>
#include <map>
#include <new>
#include <mutex>
#include <string>
#include <utility>

namespace {

struct BioData {
  const ssl_bio_method* method;
  int num;
  void* ptr;
};

BioData* data_of(BIO* bio) { return bio ? static_cast<BioData*>(BIO_get_data(bio)) : nullptr; }

const ssl_bio_method* method_of(BIO* bio) {
  BioData* d = data_of(bio);
  return d ? d->method : nullptr;
}

int fwd_write(BIO* bio, const char* data, int len) {
  const ssl_bio_method* m = method_of(bio);
  return m && m->bwrite ? m->bwrite(bio, data, len) : -1;
}

int fwd_read(BIO* bio, char* buf, int size) {
  const ssl_bio_method* m = method_of(bio);
  return m && m->bread ? m->bread(bio, buf, size) : -1;
}

int fwd_puts(BIO* bio, const char* text) {
  const ssl_bio_method* m = method_of(bio);
  return m && m->bputs ? m->bputs(bio, text) : -1;
}

int fwd_gets(BIO* bio, char* buf, int size) {
  const ssl_bio_method* m = method_of(bio);
  return m && m->bgets ? m->bgets(bio, buf, size) : -1;
}

// Without a control function a flush succeeds (OpenSSL flushes after each flight) and
// anything else is unsupported.
long fwd_ctrl(BIO* bio, int cmd, long num, void* ptr) {
  const ssl_bio_method* m = method_of(bio);
  if (m && m->ctrl) return m->ctrl(bio, cmd, num, ptr);
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

// Runs the caller's destroy while its data is still reachable, then drops ours.
int fwd_destroy(BIO* bio) {
  BioData* d = data_of(bio);
  if (!d) return 1;
  if (d->method->destroy) d->method->destroy(bio);
  BIO_set_data(bio, nullptr);
  delete d;
  return 1;
}

// One OpenSSL method per type and name, kept for the life of the process (BIOs may outlive any
// caller scope). The forwarding functions find the caller's record in the per-BIO data, so a
// method serves every record of that type and name.
BIO_METHOD* openssl_method_for(const ssl_bio_method* m) {
  static std::mutex lock;
  static auto* methods = new std::map<std::pair<int, std::string>, BIO_METHOD*>();
  std::lock_guard<std::mutex> guard(lock);
  std::pair<int, std::string> key(m->type, m->name ? m->name : "");
  auto it = methods->find(key);
  if (it != methods->end()) return it->second;
  BIO_METHOD* meth = BIO_meth_new(key.first, key.second.c_str());
  if (!meth) return nullptr;
  BIO_meth_set_write(meth, fwd_write);
  BIO_meth_set_read(meth, fwd_read);
  BIO_meth_set_puts(meth, fwd_puts);
  BIO_meth_set_gets(meth, fwd_gets);
  BIO_meth_set_ctrl(meth, fwd_ctrl);
  BIO_meth_set_destroy(meth, fwd_destroy);
  methods->emplace(std::move(key), meth);
  return meth;
}

}  // namespace

BIO* ssl_bio_create(const ssl_bio_method* method) {
  if (!method) return nullptr;
  BIO_METHOD* meth = nullptr;
  try {
    meth = openssl_method_for(method);
  } catch (const std::exception&) {  // memory short: no BIO
    return nullptr;
  }
  if (!meth) return nullptr;
  BIO* bio = BIO_new(meth);
  if (!bio) return nullptr;
  auto* data = new (std::nothrow) BioData{method, 0, nullptr};
  if (!data) {
    BIO_free(bio);
    return nullptr;
  }
  BIO_set_data(bio, data);
  if (method->create && method->create(bio) != 1) {
    // A failed create gets no destroy call.
    delete data_of(bio);
    BIO_set_data(bio, nullptr);
    BIO_free(bio);
    return nullptr;
  }
  BIO_set_init(bio, 1);
  return bio;
}

void ssl_bio_free(BIO* bio) {
  if (bio) BIO_free(bio);
}

int ssl_bio_GetVariable_init(BIO* bio) { return bio ? BIO_get_init(bio) : 0; }
int ssl_bio_GetVariable_shutdown(BIO* bio) { return bio ? BIO_get_shutdown(bio) : 0; }
int ssl_bio_GetVariable_flags(BIO* bio) { return bio ? BIO_test_flags(bio, ~0) : 0; }

int ssl_bio_GetVariable_num(BIO* bio) {
  BioData* d = data_of(bio);
  return d ? d->num : 0;
}

void* ssl_bio_GetVariable_ptr(BIO* bio) {
  BioData* d = data_of(bio);
  return d ? d->ptr : nullptr;
}

void ssl_bio_SetVariable_init(BIO* bio, int value) {
  if (bio) BIO_set_init(bio, value);
}

void ssl_bio_SetVariable_shutdown(BIO* bio, int value) {
  if (bio) BIO_set_shutdown(bio, value);
}

void ssl_bio_SetVariable_flags(BIO* bio, int value) {
  if (!bio) return;
  BIO_clear_flags(bio, ~0);
  BIO_set_flags(bio, value);
}

void ssl_bio_SetVariable_num(BIO* bio, int value) {
  if (BioData* d = data_of(bio)) d->num = value;
}

void ssl_bio_SetVariable_ptr(BIO* bio, void* value) {
  if (BioData* d = data_of(bio)) d->ptr = value;
}

void ssl_bio_set_retry_read(BIO* bio) {
  if (bio) BIO_set_retry_read(bio);
}

void ssl_bio_set_retry_write(BIO* bio) {
  if (bio) BIO_set_retry_write(bio);
}

void ssl_bio_clear_retry_flags(BIO* bio) {
  if (bio) BIO_clear_retry_flags(bio);
}

long ssl_bio_channel_ctrl(BIO* bio, int cmd, long num, void*) {
  switch (cmd) {
    case BIO_CTRL_GET_CLOSE: return ssl_bio_GetVariable_shutdown(bio);
    case BIO_CTRL_SET_CLOSE: ssl_bio_SetVariable_shutdown(bio, static_cast<int>(num)); return 1;
    case BIO_CTRL_FLUSH: return 1;
    default: return 0;
  }
}

int ssl_bio_channel_create(BIO* bio) {
  ssl_bio_SetVariable_init(bio, 0);
  ssl_bio_SetVariable_shutdown(bio, 0);
  ssl_bio_SetVariable_num(bio, 0);
  ssl_bio_SetVariable_ptr(bio, nullptr);
  ssl_bio_SetVariable_flags(bio, 0);
  return 1;
}

int ssl_bio_channel_destroy(BIO* bio) { return bio ? 1 : 0; }
