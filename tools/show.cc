#include "tools/show.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "tools/json.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

void printLine(std::ostream& out, const std::vector<size_t>& widths,
               const std::vector<std::string>& cells) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    line += cells[i];
    if (i + 1 < cells.size()) line.append(widths[i] + 2 - cells[i].size(), ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  out << line << "\n";
}

uint32_t brokerIdOf(const Word& word, const kv::message& row) {
  return row.get(kv::u32_id(word.num));
}

// The store's entry for the certificate of `row`: null when the row names
// none, the store was not read, or the store lacks it.
const std::string* certificateName(const Word& word, const kv::message& row,
                                   const BrokerNames* certificates) {
  const uint32_t id = row.get(kv::u32_id(word.num), NO_CERTIFICATE);
  if (!certificates || id == NO_CERTIFICATE) return nullptr;
  auto it = certificates->find(id);
  return it == certificates->end() ? nullptr : &it->second;
}

std::string certificateCell(const Word& word, const kv::message& row,
                            const BrokerNames* certificates) {
  const std::string shown = showValue(word, row);
  if (!certificates || shown == "none") return shown;
  const std::string* name = certificateName(word, row, certificates);
  if (!name) return shown + " (not in the store)";
  return name->empty() ? shown : escapeBytes(*name, false);
}

}  // namespace

void printColumns(std::ostream& out, const std::vector<std::string>& headers,
                  const std::vector<std::vector<std::string>>& cells) {
  std::vector<size_t> widths;
  for (const std::string& h : headers) widths.push_back(h.size());
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], line[i].size());
    }
  }
  printLine(out, widths, headers);
  for (const auto& line : cells) printLine(out, widths, line);
}

std::string cellOf(const TableWords& table, const char* key, const kv::message& row,
                   const BrokerNames& names, const BrokerNames* certificates) {
  const Word* word = findWord(table, key);
  if (!word) return "";
  if (word->kind == ValueKind::Broker) {
    return escapeBytes(brokerName(names, brokerIdOf(*word, row)), false);
  }
  if (word->kind == ValueKind::Certificate) return certificateCell(*word, row, certificates);
  return showValue(*word, row);
}

void printBlock(std::ostream& out, const TableWords& table, const kv::message& row,
                const BrokerNames& names, const BrokerNames* certificates) {
  std::vector<std::vector<std::string>> lines;
  for (const Word& word : table.words) {
    if (!rowHas(word, row) && word.kind != ValueKind::Certificate) continue;
    lines.push_back({word.word, cellOf(table, word.word, row, names, certificates)});
  }
  printPairs(out, lines);
}

void printPairs(std::ostream& out, const std::vector<std::vector<std::string>>& lines) {
  size_t width = 0;
  for (const auto& line : lines) width = std::max(width, line[0].size());
  for (const auto& line : lines) printLine(out, {width}, line);
}

namespace {

json::Json rowObject(const TableWords& table, const kv::message& row, const BrokerNames& names,
                     const BrokerNames* certificates) {
  json::Json out = json::Json::object();
  for (const Word& word : table.words) {
    if (!rowHas(word, row)) continue;
    if (word.kind == ValueKind::Broker) {
      const uint32_t id = brokerIdOf(word, row);
      auto it = names.find(id);
      out["broker"] = it == names.end() ? json::Json() : json::textOrHex(it->second);
      out["broker-id"] = id;
      continue;
    }
    out[word.word] = jsonValue(word, row);
    const std::string* name = word.kind == ValueKind::Certificate
                                  ? certificateName(word, row, certificates)
                                  : nullptr;
    if (name && !name->empty()) out["certificate-name"] = json::textOrHex(*name);
  }
  return out;
}

}  // namespace

std::string rowJson(const TableWords& table, const kv::message& row, const BrokerNames& names,
                    const BrokerNames* certificates) {
  return json::dump(rowObject(table, row, names, certificates));
}

std::string rowsJson(const TableWords& table, const std::vector<kv::message>& rows,
                     const BrokerNames& names, const BrokerNames* certificates) {
  json::Json out = json::Json::array();
  for (const kv::message& row : rows) out.push_back(rowObject(table, row, names, certificates));
  return json::dump(out);
}

}  // namespace mqttctl
