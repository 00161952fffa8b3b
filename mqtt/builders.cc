#include "mqtt/builders.h"

#include <algorithm>

namespace mqtt {
namespace {

// Packets with a fixed, small body cannot be refused by encodePacket.
MqttPacket encodeSmall(uint8_t type, uint8_t flags, const Bytes& variableHeader) {
  return encodePacket(type, flags, variableHeader, Bytes()).takePacket();
}

Bytes idHeader(uint16_t packetId) {
  Bytes header;
  appendUint16(header, packetId);
  return header;
}

}  // namespace

BuildResult makeConnect(const std::string& clientId, const std::string& userName,
                        const std::string& password, uint16_t keepAliveSeconds,
                        const Will& will) {
  const bool hasWill = !will.topic.empty();
  if (hasWill && will.qos > 2) return BuildResult::refused("Invalid will QoS");
  uint8_t connectFlags = 0x02;  // clean session
  if (!userName.empty()) connectFlags |= 0x80;
  if (!password.empty()) connectFlags |= 0x40;
  if (hasWill) {
    connectFlags |= static_cast<uint8_t>(0x04 | will.qos << 3);
    if (will.retain) connectFlags |= 0x20;
  }

  Bytes header;
  (void)appendString(header, "MQTT");  // 4 bytes, cannot be refused
  appendByte(header, 4);               // protocol level of MQTT 3.1.1
  appendByte(header, connectFlags);
  appendUint16(header, keepAliveSeconds);

  Bytes payload;
  if (!appendString(payload, clientId)) return BuildResult::refused("Client identifier too long");
  if (hasWill && !appendString(payload, will.topic)) {
    return BuildResult::refused("Will topic too long");
  }
  if (hasWill && !appendString(payload, will.message)) {
    return BuildResult::refused("Will message too long");
  }
  if (!userName.empty() && !appendString(payload, userName)) {
    return BuildResult::refused("User name too long");
  }
  if (!password.empty() && !appendString(payload, password)) {
    return BuildResult::refused("Password too long");
  }
  return encodePacket(Connect, 0, header, payload);
}

const char* publishRefusal(size_t topicSize, uint8_t qos, size_t dataSize) {
  if (qos > 2) return "Invalid QoS";
  if (topicSize > MAX_STRING_LENGTH) return "Topic too long";
  const size_t header = 2 + topicSize + (qos > 0 ? 2 : 0);
  if (dataSize > MAX_REMAINING_LENGTH - header) return "Packet too large";
  return nullptr;
}

BuildResult makePublish(const std::string& topic, uint8_t qos, bool retain,
                        uint16_t packetId, const std::string& data) {
  if (const char* refusal = publishRefusal(topic.size(), qos, data.size())) {
    return BuildResult::refused(refusal);
  }
  // Written straight into the packet: one allocation for every publish.
  const size_t header = 2 + topic.size() + (qos > 0 ? 2 : 0);
  const uint8_t flags = static_cast<uint8_t>((qos << 1) | (retain ? 1 : 0));
  MqttPacket packet = startPacket(Publish, flags, static_cast<uint32_t>(header + data.size()));
  (void)appendString(packet.bytes, topic);  // its length was checked above
  if (qos > 0) appendUint16(packet.bytes, packetId);
  packet.bytes.insert(packet.bytes.end(), data.begin(), data.end());
  return BuildResult::built(std::move(packet));
}

void markDuplicate(MqttPacket& publish) {
  if (publish.type != Publish || (publish.flags & 0x06) == 0 || publish.bytes.empty()) return;
  publish.flags |= 0x08;
  publish.bytes[0] |= 0x08;
}

MqttPacket makeAck(uint8_t type, uint8_t flags, uint16_t packetId) {
  return encodeSmall(type, flags, idHeader(packetId));
}

BuildResult makeSubscribe(uint16_t packetId, const std::string& topicFilter, uint8_t qos) {
  Bytes payload;
  if (!appendString(payload, topicFilter)) return BuildResult::refused("Topic filter too long");
  appendByte(payload, std::min<uint8_t>(qos, 2));
  return encodePacket(Subscribe, 2, idHeader(packetId), payload);
}

BuildResult makeUnsubscribe(uint16_t packetId, const std::string& topicFilter) {
  Bytes payload;
  if (!appendString(payload, topicFilter)) return BuildResult::refused("Topic filter too long");
  return encodePacket(Unsubscribe, 2, idHeader(packetId), payload);
}

MqttPacket makePingreq() { return encodeSmall(Pingreq, 0, Bytes()); }

MqttPacket makeDisconnect() { return encodeSmall(Disconnect, 0, Bytes()); }

}  // namespace mqtt
