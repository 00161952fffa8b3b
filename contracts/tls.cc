#include "contracts/tls.h"

#include "platform/system.h"

namespace contract {
namespace tls {

kv::message encode(const ConnectOrder& order, int tcpFd) {
  kv::message request;
  request.set(kv::PATH_FIELD, PATH);
  request.set(kv::COMMAND_FIELD, CONNECT_COMMAND);
  request.set(SERVER_MODE_FIELD, order.serverMode);
  request.set(VERIFY_SERVER_FIELD, order.verifyServer);
  if (!order.serverName.empty()) request.set(SERVER_NAME_FIELD, order.serverName);
  if (!order.verifyName.empty()) request.set(VERIFY_NAME_FIELD, order.verifyName);
  request.set(kv::SOCKET_FIELD, static_cast<uint32_t>(tcpFd));
  if (order.clientCertificate != NO_CERTIFICATE) {
    request.set(CLIENT_CERTIFICATE_FIELD, order.clientCertificate);
  }
  return request;
}

ConnectOrder decodeConnect(const kv::message& request) {
  ConnectOrder order;
  order.serverMode = request.get(SERVER_MODE_FIELD, false);
  order.verifyServer = request.get(VERIFY_SERVER_FIELD, true);
  order.serverName = request.get(SERVER_NAME_FIELD);
  order.verifyName = request.get(VERIFY_NAME_FIELD);
  order.clientCertificate = request.get(CLIENT_CERTIFICATE_FIELD, NO_CERTIFICATE);
  return order;
}

}  // namespace tls
}  // namespace contract
