#include "cu_box.h"
#include "cu_sock_internal.h"

int64_t cu_box_sock_HandOverTcpClient(cu_client* client, int32_t* connect_error) {
  if (connect_error) *connect_error = 0;
  if (!client) return -1;
  if (client->kind != 1 || client->state != 2) {
    cu_client_free(client);
    return -1;
  }
  int64_t sid = client->sock;
  if (connect_error) *connect_error = client->connect_error;
  // Marked closed without closing: freeing the object then leaves the socket to the new owner.
  client->sock = -1;
  client->state = -1;
  cu_client_free(client);
  return sid;
}
