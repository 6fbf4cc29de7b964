// Request mapping: a request's URL onto the web root (folder, file name, extension, file
// path, mime type), its absolute URL and its query. A path that would leave the web root
// is not mapped.
#include <strings.h>

#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "cu_file.h"
#include "panelhttp_internal.h"
#include "vor_uri.h"

struct RTParser {
  vor_uri* uri = nullptr;
  const char* method = nullptr;
  const char* uri_path = nullptr;
  std::string folder;
  std::string filename;
  std::string extname;
  std::string filepath;
  const char* mime = nullptr;
  std::optional<std::string> location;
  vor_http_table* query = nullptr;

  ~RTParser() {
    vor_uri_free(uri);
    vor_http_table_free(query);
  }
};

namespace vor::panelhttp {
namespace {

// A ".." segment that normalising kept: only a relative path keeps one, and joined to the
// web root it would climb out of it. Backslashes separate as slashes do.
bool climbs_out(const char* path) {
  std::string_view rest(path);
  while (true) {
    const size_t end = rest.find_first_of("/\\");
    if (rest.substr(0, end) == "..") return true;
    if (end == std::string_view::npos) return false;
    rest.remove_prefix(end + 1);
  }
}

std::string web_root(cu_config* settings) {
  const char* value = cu_config_GetKey(settings, "system", "wwwroot");
  std::string root = value ? value : "../wwwroot";
  for (char& c : root) {
    if (c == '\\') c = '/';
  }
  return root;
}

std::string with_slash(const std::string& folder) {
  return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

std::string local_folder(const std::string& root, const std::string& uri_path) {
  const size_t slash = uri_path.rfind('/');
  std::string rest = slash == std::string::npos ? std::string() : uri_path.substr(0, slash + 1);
  if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  std::string folder = root;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  folder += rest;
  if (!rest.empty() && rest.back() != '/') folder += '/';
  return folder;
}

// The first index file that exists in the folder: its name, else nullopt.
std::optional<std::string> find_index(cu_config* settings, const std::string& folder, std::string* path) {
  for (int n = 0; n <= 9; ++n) {
    char key[16];
    snprintf(key, sizeof key, "index-%d", n);
    const char* value = cu_config_GetKey(settings, "index", key);
    if (!value) continue;
    const std::string candidate = with_slash(folder) + value;
    if (cu_file1_IsExist(candidate.c_str())) {
      *path = candidate;
      return std::string(value);
    }
  }
  return std::nullopt;
}

std::string extension_of(const std::string& filename) {
  for (size_t i = filename.size(); i > 0; --i) {
    const char c = filename[i - 1];
    if (c == '/') break;
    if (c == '.') {
      std::string ext = filename.substr(i);
      for (char& e : ext) {
        if (e >= 'A' && e <= 'Z') e = static_cast<char>(e - 'A' + 'a');
      }
      return ext;
    }
  }
  return std::string();
}

const char* mime_of(panelhttp_ctx* c, const std::string& ext) {
  if (const char* type = cu_config_GetKey(c->mime, "mime", ext.c_str())) return type;
  if (const char* type = cu_config_GetKey(c->settings, "system", "default_type")) return type;
  return "application/none";
}

std::optional<std::string> content_location(const char* target, const char* host, const RTParser& p,
                                            bool by_index) {
  if (target[0] != '/') {
    if (strncasecmp(target, "http://", 7) == 0) return std::string(target);
    return "http://" + std::string(target);
  }
  if (!host) return std::nullopt;
  if (by_index) {
    std::string url = "http://" + std::string(host) + p.uri_path + p.filename;
    if (const char* q = vor_uri_GetQueryRaw(p.uri)) url += "?" + std::string(q);
    return url;
  }
  return "http://" + std::string(host) + target;
}

bool make(panelhttp_ctx* c, vor_http_table* request, RTParser& p) {
  if (!request || !c || !c->settings) return false;
  const char* target = vor_http_table_GetRequest(request);
  if (!target) return false;
  p.uri = vor_uri_malloc(target);
  const char* path = p.uri ? vor_uri_GetPath(p.uri) : nullptr;
  if (!path || climbs_out(path)) return false;
  const std::string uri_path = path;
  const size_t cut = uri_path.find_last_of("/\\");
  p.filename = cut == std::string::npos ? uri_path : uri_path.substr(cut + 1);
  p.folder = local_folder(web_root(c->settings), uri_path);
  p.method = vor_http_table_GetMethod(request);
  p.uri_path = path;
  const bool by_index = p.filename.empty();
  if (by_index) {
    auto index = find_index(c->settings, p.folder, &p.filepath);
    if (!index) return false;
    p.filename = *index;
  } else {
    p.filepath = with_slash(p.folder) + p.filename;
  }
  p.extname = extension_of(p.filename);
  p.mime = mime_of(c, p.extname);
  const char* host = vor_http_table_GetField(request, "Host");
  if (!host && vor_uri_GetHost(p.uri)) {
    vor_http_table_SetField(request, "Host", vor_uri_GetHost(p.uri));
    host = vor_http_table_GetField(request, "Host");
  }
  p.location = content_location(target, host, p, by_index);
  const char* query = vor_uri_GetQueryRaw(p.uri);
  p.query = vor_http_table_ParseFormStr(query ? query : "");
  return p.query != nullptr;
}

const char* text_or_empty(const char* text) { return text ? text : ""; }

}  // namespace
}  // namespace vor::panelhttp

using namespace vor::panelhttp;

RTParser* RTParser_make(panelhttp_ctx* ctx, vor_http_table* request) {
  auto* p = new (std::nothrow) RTParser;
  if (!p) return nullptr;
  if (!make(ctx, request, *p)) {
    delete p;
    return nullptr;
  }
  return p;
}

void RTParser_free(RTParser* p) { delete p; }

const char* RTParser_GetMethod(RTParser* p) { return p ? text_or_empty(p->method) : ""; }
const char* RTParser_GetUriPath(RTParser* p) { return p ? text_or_empty(p->uri_path) : ""; }
const char* RTParser_GetLocalFolder(RTParser* p) { return p ? p->folder.c_str() : ""; }
const char* RTParser_GetLocalFilename(RTParser* p) { return p ? p->filename.c_str() : ""; }
const char* RTParser_GetLocalExtname(RTParser* p) { return p ? p->extname.c_str() : ""; }
const char* RTParser_GetLocalFilepath(RTParser* p) { return p ? p->filepath.c_str() : ""; }
const char* RTParser_GetMimetype(RTParser* p) { return p ? text_or_empty(p->mime) : ""; }
const char* RTParser_GetContentLocation(RTParser* p) { return p && p->location ? p->location->c_str() : ""; }

vor_http_table* RTParser_GetRequestQuery(RTParser* p) {
  if (p && p->query) return p->query;
  static vor_http_table* empty = nullptr;
  static std::once_flag made;
  std::call_once(made, [] { empty = vor_http_table_ParseFormStr(""); });
  return empty;
}
