// The words of the console's table verbs: each key an operator types
// ("address", "keep-alive", "qos") mapped, in one table per daemon table,
// to the row field it stands for (type and number), how its value is
// written on the command line and how it is shown.
//
//   mqttctl broker add home address=10.0.0.5 port=8883 ssl=yes
//                           ^^^^^^^          ^^^^     ^^^
//                           string 1         u32 2    bool 3
//
// Values are taken as written: no escapes and no quotes beyond the
// shell's. What each kind accepts:
//   Text         any bytes; empty clears an optional field (user=)
//   YesNo        yes, no, true, false, on, off, 1 or 0 (any letter case)
//   Count        0 to 4294967295, decimal or 0x hex
//   Port         1 to 65535
//   KeepAlive    30 to 64800 (seconds)
//   Qos          0, 1 or 2
//   Certificate  a client certificate's name or id (decimal digits), or
//                "none"; a name is set as string field NUM, to be resolved
//                to the id (u32 NUM) by the verb (resolveCertificateName)
// The daemon checks the rest (a name in use, an invalid filter ...) and its
// refusal reaches the operator unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/mqtt_tables.h"
#include "platform/message.h"
#include "platform/status.h"
#include "tools/json.h"

namespace mqttctl {

enum class ValueKind : uint8_t {
  Text, YesNo, Count, Port, KeepAlive, Qos, Certificate, Broker, Time
};

// The value of a broker's certificate field for "no certificate".
constexpr uint32_t NO_CERTIFICATE = contract::brokers::NO_CERTIFICATE;

struct Word {
  const char* word;
  kv::FieldType type;
  uint32_t num;
  ValueKind kind;
  bool settable;     // may be given as KEY=VALUE
  bool secret;       // never shown in the readable form
  const char* help;  // for the verb's help: what the value is
};

// One word: its field (type and number) taken from the table's contract.
template <kv::FieldType T>
Word key(const char* word, kv::field_id<T> field, ValueKind kind, bool settable,
         const char* help = "", bool secret = false) {
  return Word{word, T, field.num, kind, settable, secret, help};
}

struct TableWords {
  const char* noun;  // "broker"
  uint32_t path;     // the table's handler number
  std::vector<Word> words;  // in the order rows are shown
};

// The daemon's three tables (handlers 2, 3 and 4).
const TableWords& brokerWords();
const TableWords& subscriptionWords();
const TableWords& receivedWords();

// The word `key` of `table`, or null.
const Word* findWord(const TableWords& table, const std::string& key);

// Parses one value of `word` and sets its field in `out`. Broker values
// are names and are resolved by the verb, not here. The message names the
// word and the accepted values.
kv::Status parseWordValue(const Word& word, const std::string& text, kv::message& out);

// Parses KEY=VALUE arguments into `out`. Each KEY must be a settable word of
// the table, given at most once; the message names a wrong key and lists
// the right ones.
kv::Status parseAssignments(const TableWords& table, const std::vector<std::string>& args,
                            kv::message& out);

// The readable form of the word's field in `row`: "" when the row lacks
// it, "(set)" for a secret, escaped text (so it cannot drive a terminal),
// "yes"/"no", numbers, "none" for no certificate, a date for a time.
std::string showValue(const Word& word, const kv::message& row);

// The JSON value of the word's field (the row has it): a string (or
// {"hex":"..."} for bytes that are not UTF-8), true/false, a number, or
// null for no certificate.
json::Json jsonValue(const Word& word, const kv::message& row);

// The settable keys of a table for a verb's help, one a line:
// "  port=PORT          TCP port, 1883 by default".
std::string keysHelp(const TableWords& table);

// True when the row has the word's field.
bool rowHas(const Word& word, const kv::message& row);

// A local time as the daemon records it (seconds since 1970 in local
// time) as "YYYY-MM-DD HH:MM:SS".
std::string localTimeText(uint32_t seconds);

}  // namespace mqttctl
