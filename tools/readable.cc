#include "tools/readable.h"

#include <string>

#include "platform/system.h"
#include "tools/names.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

using kv::FieldType;
using kv::detail::Field;

std::string indent(int level) { return std::string(static_cast<size_t>(level) * 2, ' '); }

std::string quoted(const std::string& bytes) { return "\"" + escapeBytes(bytes) + "\""; }

// A u32 value, with its hex form and, for the command and error-code
// fields, its name.
std::string u32Text(const Field& f, uint32_t v) {
  const char* name = nullptr;
  if (f.num == kv::COMMAND_FIELD.num) name = commandName(v);
  if (f.num == kv::ERROR_CODE_FIELD.num) name = errorCodeName(v);
  if (v < 0x10000 && !name) return std::to_string(v);
  std::string text = std::to_string(v) + " (" + hexText(v);
  if (name) text += std::string(", ") + name;
  return text + ")";
}

template <typename T, typename Show>
std::string listText(const std::vector<T>& items, Show show) {
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) text += ", ";
    text += show(items[i]);
  }
  return text + "]";
}

void writeNested(std::ostream& out, const std::vector<kv::message>& messages, bool single,
                 int level) {
  if (single) {
    out << "{\n";
    writeReadable(out, messages.front(), level + 1);
    out << indent(level) << "}\n";
    return;
  }
  if (messages.empty()) {
    out << "[]\n";
    return;
  }
  out << "[\n";
  for (const kv::message& m : messages) {
    out << indent(level + 1) << "{\n";
    writeReadable(out, m, level + 2);
    out << indent(level + 1) << "}\n";
  }
  out << indent(level) << "]\n";
}

// The value, followed by the end of the line (nested values span lines).
void writeValue(std::ostream& out, const Field& f, int level) {
  switch (f.type) {
    case FieldType::Bool:
      out << (std::get<uint64_t>(f.value) ? "true" : "false");
      break;
    case FieldType::U32:
      out << u32Text(f, static_cast<uint32_t>(std::get<uint64_t>(f.value)));
      break;
    case FieldType::Be32:
      out << ipv4Text(static_cast<uint32_t>(std::get<uint64_t>(f.value)));
      break;
    case FieldType::U64:
      out << std::get<uint64_t>(f.value);
      break;
    case FieldType::String:
      out << quoted(std::get<std::string>(f.value));
      break;
    case FieldType::U32Array:
      out << listText(std::get<std::vector<uint32_t>>(f.value),
                      [](uint32_t v) { return std::to_string(v); });
      break;
    case FieldType::StringArray:
      out << listText(std::get<std::vector<std::string>>(f.value), quoted);
      break;
    case FieldType::Message:
    case FieldType::MessageArray:
      writeNested(out, std::get<std::vector<kv::message>>(f.value), f.type == FieldType::Message,
                  level);
      return;
  }
  out << "\n";
}

}  // namespace

void writeReadable(std::ostream& out, const kv::message& msg, int level) {
  for (const Field& f : msg.fields()) {
    out << indent(level) << kv::fieldTypeName(f.type) << ' ' << numberText(f.num);
    if (const char* name = systemFieldName(f.type, f.num)) out << " (" << name << ')';
    out << " = ";
    writeValue(out, f, level);
  }
}

void writeReadableRows(std::ostream& out, const std::vector<kv::message>& rows) {
  if (rows.empty()) {
    out << "no rows\n";
    return;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    out << "row " << (i + 1) << ":\n";
    writeReadable(out, rows[i], 1);
  }
}

}  // namespace mqttctl
