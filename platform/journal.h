// The table journal: the changes made to a table since its rows file was
// last written, appended one record per change, in the order they were
// made. Internal to the platform: TableStore writes and reads it for AMap.
//
// File "journal" in the table's store directory, every integer big-endian:
//
//   offset 0   'K' 'V' 'J' '1'       magic
//          4   version:u32           JOURNAL_VERSION
//          8   generation:u32        generation of the rows file it extends
//         12   headerCrc:u32         CRC-32 of bytes 0 .. 11
//         16   record, record, ...   up to the end of the file
//
// Version 1, written before the header had a checksum, is read too: its
// header ends after the generation. Its generation is not proven, so
// loading never discards such a journal as stale (store.h).
//
//   record     length:u32            5 .. MAX_ENCODED_MESSAGE + 1
//              crc:u32               CRC-32 of the next `length` bytes
//              kind:u8               JOURNAL_PUT or JOURNAL_DELETE
//              put:    row           the whole row as an encoded kv::message,
//                                    OBJECT_ID_FIELD first (as in "rows")
//              delete: id:u32        the object id of the removed row
//
// A put stores the row as it is after an add or a change; a delete removes
// the row. Replaying the records in order over the rows file gives the
// table as it was after the last record, so every prefix of the journal
// that ends on a record boundary is a state the table went through.
//
// Reading stops at the first problem. A problem at the end of the file is
// a torn write (the process or the power went in the middle of an append):
// a header or record cut short, a last record whose CRC does not match, or
// nothing but zero bytes from the problem to the end of the file. Such a
// tail is dropped. Any other problem, a header whose CRC does not match
// among them, is damage.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "platform/message.h"
#include "platform/status.h"

namespace kv {

constexpr const char* JOURNAL_FILE = "journal";
constexpr uint32_t JOURNAL_VERSION = 2;
constexpr size_t JOURNAL_HEADER_BYTES = 16;
constexpr uint8_t JOURNAL_PUT = 1;
constexpr uint8_t JOURNAL_DELETE = 2;

// The header of a journal that extends rows file `generation`.
std::string journalHeader(uint32_t generation);
// Appends a put record of `row` (with its OBJECT_ID_FIELD). TooLarge, and
// nothing appended, when the row encodes to more than MAX_ENCODED_MESSAGE.
Status appendPutRecord(std::string& out, const message& row);
void appendDeleteRecord(std::string& out, uint32_t id);

// What reading a journal found.
struct JournalReadResult {
  enum class End { Clean, Torn, Damaged };
  End end = End::Clean;
  bool headerRead = false;     // the header was read whole; `generation` is set
  bool headerChecked = false;  // ... and its checksum proves it (not version 1)
  uint32_t generation = 0;
  size_t changes = 0;       // records applied
  uint64_t goodBytes = 0;   // length of the header and the records applied
  uint64_t problemOffset = 0;
  std::string problem;      // Torn or Damaged: what was wrong there
};

// Reads the journal in `file` (of `size` bytes). When its header names
// `generation`, applies its records in order to `rows` (object id -> the
// row's stored message); otherwise applies nothing and stops after the
// header. Never reads outside the file.
JournalReadResult readJournal(FILE* file, uint64_t size, uint32_t generation,
                              std::map<uint32_t, message>& rows);

}  // namespace kv
