// The table store: the rows of one table in one file under the root
// directory.
//
// A store path names a directory, mapped under the root directory
// (root.h): "/korv/store/iot/mqtt/brokers" with KV_ROOT=/tmp/r is the
// directory /tmp/r/korv/store/iot/mqtt/brokers. The rows are in its file
// "rows"; a directory rather than a file because one table's path may lie
// below another's ("/korv/store/iot/mqtt/subscriptions/recv").
//
// File layout, every integer big-endian:
//
//   offset 0   'K' 'V' 'T' '1'       magic
//          4   version:u32           STORE_VERSION
//          8   record, record, ...   up to the end of the file
//
//   record     length:u32            4 .. MAX_ENCODED_MESSAGE
//              crc:u32               CRC-32 of the next `length` bytes
//              row{length}           the row as an encoded kv::message:
//                                    OBJECT_ID_FIELD first, then the row's
//                                    own fields (Object::writeTo)
//
// Records are written in increasing object-id order; every id is valid
// (1 .. 0xFFFFFFFE) and appears once. The file holds only what a table
// chose to keep, so the same rows give the same bytes on every host.
//
// Saving is atomic: the rows go to "rows.tmp", which is synced and renamed
// over "rows", and then the directory is synced; a crash leaves either the
// old file or the new one. The files are created with mode 0600, as rows
// may hold credentials.
//
// Loading stops at the first damage (short header, bad magic or version, a
// bad length, a CRC mismatch, a row that does not decode, a missing,
// invalid or repeated object id). The rows before it are kept, one log
// line names the file, the byte offset of the damage, what was wrong and
// how many rows were kept, and the damaged file is renamed to
// "rows.corrupt-<unix time>" in the same directory. It is never deleted:
// if it cannot be renamed, it stays in place and saves are refused, so that
// it is not replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/status.h"

namespace kv {

constexpr uint32_t STORE_VERSION = 1;
constexpr size_t STORE_HEADER_BYTES = 8;
constexpr size_t STORE_RECORD_HEAD_BYTES = 8;
constexpr const char* STORE_ROWS_FILE = "rows";

// CRC-32 as in zip, PNG and Ethernet (reflected, polynomial 0xEDB88320,
// initial and final value 0xFFFFFFFF). Chain calls by passing the previous
// result as `crc`.
uint32_t crc32(const void* data, size_t size, uint32_t crc = 0);

// A platform log line: to the process loop's log when there is a loop,
// else to standard error.
void storeLog(int level, const std::string& text);

// What TableStore::load found.
struct StoreLoadReport {
  bool found = false;         // a rows file existed
  size_t rows = 0;            // rows handed to the callback
  bool damaged = false;       // damage was found; the log line was written
  uint64_t damageOffset = 0;  // byte offset of the damaged header or record
  std::string problem;        // what was wrong there
  std::string setAsidePath;   // where the damaged file went ("" if it stayed)
};

// Receives one loaded row: its object id (valid, not seen before in this
// file) and the whole stored message, OBJECT_ID_FIELD included.
using StoreRowFn = std::function<void(uint32_t id, const message& row)>;

class TableStore {
 public:
  explicit TableStore(std::string storePath);

  const std::string& storePath() const { return storePath_; }
  // The directory and files, mapped under the root directory as it is at
  // the time of the call.
  std::string dirPath() const;
  std::string rowsPath() const;

  // Reads the rows file, calling onRow for every good row in file order.
  // A missing file is an empty table. Damage is handled as the file comment
  // says; the report tells what happened. Never fails otherwise.
  StoreLoadReport load(const StoreRowFn& onRow);

  // Replaces the stored rows with `rows` (each with its OBJECT_ID_FIELD,
  // in increasing id order). Convenience over StoreWriter.
  Status save(const std::vector<message>& rows);

  // Not ok after a damaged file could not be set aside: saves would
  // replace it, so they are refused.
  const Status& saveBlocked() const { return saveBlocked_; }

 private:
  std::string setAside(const std::string& rowsFile, std::string& why);

  std::string storePath_;
  Status saveBlocked_;
};

// One atomic save of a table: open(), append() every row, commit().
// Destroying a writer that was not committed removes "rows.tmp" and leaves
// "rows" as it was.
class StoreWriter {
 public:
  explicit StoreWriter(const TableStore& store);
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  // Creates the directory if needed and starts "rows.tmp".
  Status open();
  // Adds one row. REQUIRES: open() succeeded. A row without a valid id, or
  // not above the previous row's id, is refused (Malformed), and one whose
  // encoding exceeds MAX_ENCODED_MESSAGE too (TooLarge); the file stays
  // good and the save may go on without it. Io means the save has failed.
  Status append(const message& row);
  // Makes the rows appended so far the stored rows.
  Status commit();

 private:
  Status flushBuffer();
  void abandon();

  const TableStore& store_;
  std::string dir_, tmpPath_, rowsPath_;
  int fd_ = -1;
  bool committed_ = false;
  bool haveLastId_ = false;
  uint32_t lastId_ = 0;
  std::string buffer_;   // header and records not yet written
  std::string encoded_;  // scratch for one row
};

}  // namespace kv
