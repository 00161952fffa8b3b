// The table store: the rows of one table in a directory of the root
// directory, as a rows file and a journal of the changes made since.
//
// A store path names a directory, mapped under the root directory
// (root.h): "/korv/store/iot/mqtt/brokers" with KV_ROOT=/tmp/r is the
// directory /tmp/r/korv/store/iot/mqtt/brokers. A directory rather than a
// file because one table's path may lie below another's
// ("/korv/store/iot/mqtt/subscriptions/recv").
//
// "rows" holds every row, every integer big-endian:
//
//   offset 0   'K' 'V' 'T' '1'       magic
//          4   version:u32           STORE_VERSION
//          8   generation:u32        counts the writes of this file
//         12   headerCrc:u32         CRC-32 of bytes 0 .. 11
//         16   record, record, ...   up to the end of the file
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
// The header's checksum proves the generation: loading decides from it
// whether a journal belongs to the rows (journal.h carries one too), so a
// flipped bit there must read as damage, never as a journal to discard.
// Older versions, written before the header had a checksum, are read too:
// version 2 ends its header after the generation, version 1 after the
// version (generation 0). A store read in an old version is written again
// in the current one at once.
//
// "journal" (journal.h) holds the changes made after "rows" was written,
// appended and synced by appendJournal; its header names the generation of
// the rows file it extends. Loading replays it over the rows.
//
// Writing "rows" (save, StoreWriter) is atomic: the rows go to "rows.tmp",
// which is synced and renamed over "rows" with the next generation, and
// then the directory is synced and the journal, now part of "rows", is
// removed. A crash leaves the old rows with their journal, or the new rows
// with a journal of the generation before, which loading recognises as
// already included and removes, only when both headers carry a checksum
// that matches (otherwise it is set aside as damage). Files are created
// with mode 0600, as rows may hold credentials. A "rows.tmp" left by a
// crash is removed at load.
//
// Loading stops reading a file at its first damage (short header, bad magic
// or version, a header or record CRC mismatch, a bad length, a row that
// does not decode, a missing, invalid or repeated object id). What was
// read before it is kept, one log line names the file, the byte offset of
// the damage, what was wrong and how much was kept, and the damaged file
// is renamed to "<name>.corrupt-<unix time>" in the same directory. It is
// never deleted: if it cannot be renamed, it stays in place and every
// write is refused, so that it is not replaced. A torn tail of the journal
// (journal.h) is not damage: it is dropped with a log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/status.h"

namespace kv {

constexpr uint32_t STORE_VERSION = 3;
constexpr size_t STORE_HEADER_BYTES = 16;
// Where a header's checksum lies, in the rows file and in the journal.
constexpr size_t STORE_HEADER_CRC_OFFSET = 12;
constexpr size_t STORE_RECORD_HEAD_BYTES = 8;
constexpr const char* STORE_ROWS_FILE = "rows";

// CRC-32 as in zip, PNG and Ethernet (reflected, polynomial 0xEDB88320,
// initial and final value 0xFFFFFFFF). Chain calls by passing the previous
// result as `crc`.
uint32_t crc32(const void* data, size_t size, uint32_t crc = 0);
// Bytes of a rows file header of `version` (1 .. STORE_VERSION).
size_t storeHeaderBytes(uint32_t version);
// Appends the CRC-32 of `header` (everything in it so far) to it.
void putHeaderCrc(std::string& header);
// Whether the last 4 of `headerBytes` bytes are the CRC-32 of the ones
// before; if not, `problem` says what was stored and computed.
bool headerCrcMatches(const uint8_t* header, size_t headerBytes, std::string& problem);

// A platform log line: to the process loop's log when there is a loop,
// else to standard error.
void storeLog(int level, const std::string& text);

// What TableStore::load found.
struct StoreLoadReport {
  bool found = false;          // a rows file or a journal existed
  size_t rows = 0;             // rows handed to the callback
  size_t journalChanges = 0;   // changes replayed from the journal
  bool tornJournal = false;    // a torn tail of the journal was dropped (logged)
  bool oldFormat = false;      // a file was read in a version without header checksums
  bool damaged = false;        // damage was found; the log line was written
  uint64_t damageOffset = 0;   // byte offset of the (first) damaged header or record
  std::string problem;         // what was wrong there
  std::string setAsidePath;    // where the damaged file went ("" if it stayed)
  // The files should be written again at once: damage, a torn tail, or
  // an old version.
  bool rewrite() const { return damaged || tornJournal || oldFormat; }
};

// Receives one loaded row: its object id (valid, given once) and the whole
// stored message, OBJECT_ID_FIELD included.
using StoreRowFn = std::function<void(uint32_t id, const message& row)>;

// What a store has written since it was constructed.
struct StoreStats {
  uint64_t bytesWritten = 0;  // bytes handed to write(2), rows files and journal
  uint64_t syncs = 0;         // fsync and fdatasync calls, directories included
};

class TableStore {
 public:
  explicit TableStore(std::string storePath);
  TableStore(const TableStore&) = delete;
  TableStore& operator=(const TableStore&) = delete;

  const std::string& storePath() const { return storePath_; }
  // The directory and files, mapped under the root directory as it is at
  // the time of the call.
  std::string dirPath() const;
  std::string rowsPath() const;
  std::string journalPath() const;

  // Reads the rows file and replays the journal over it, then calls onRow
  // for every row in increasing id order. Missing files are an empty
  // table; a leftover "rows.tmp" is removed. Damage is handled as the file
  // comment says; the report tells what happened. Never fails otherwise.
  StoreLoadReport load(const StoreRowFn& onRow);

  // Replaces the stored rows with `rows` (each with its OBJECT_ID_FIELD,
  // in increasing id order) and drops the journal. Convenience over
  // StoreWriter.
  Status save(const std::vector<message>& rows);

  // True when the journal may be appended to: the directory's files are
  // the ones that load() read or the last save wrote.
  bool canAppend() const;
  // Appends `records` (journal.h) to the journal, creating it when there
  // is none, and syncs them: once this returns ok they survive a crash or
  // a power cut. On failure the journal is cut back to what it held
  // before. REQUIRES: canAppend().
  Status appendJournal(const std::string& records);
  // Bytes in the journal (0: there is none) and in the rows file.
  uint64_t journalBytes() const { return journalBytes_; }
  uint64_t rowsBytes() const { return rowsBytes_; }

  // Not ok after a damaged file could not be set aside: writes would
  // replace it, so they are refused.
  const Status& saveBlocked() const { return saveBlocked_; }
  const StoreStats& stats() const { return stats_; }

 private:
  friend class StoreWriter;

  // What the rows file's header gave: no file (generation 0), a
  // generation proven by the header's checksum, one from an old version
  // without a checksum, or none (the header is damaged).
  enum class RowsHeader { Missing, Checked, Unchecked, Damaged };
  RowsHeader readRowsFile(std::map<uint32_t, message>& rows, StoreLoadReport& report);
  void readJournalFile(RowsHeader rowsHeader, std::map<uint32_t, message>& rows,
                       StoreLoadReport& report);
  void damaged(const std::string& file, uint64_t offset, const std::string& problem,
               const std::string& kept, StoreLoadReport& report);
  std::string setAside(const std::string& file, std::string& why);
  Status openJournal(bool create, int& fd);
  void abandonAppend(int fd);
  // A rows file of `generation` and `bytes` replaced the old one; the
  // journal is part of it once `dirSynced`.
  void rowsWritten(uint32_t generation, uint64_t bytes, bool dirSynced);

  std::string storePath_;
  Status saveBlocked_;
  std::string knownDir_;  // the directory the fields below describe
  uint32_t generation_ = 0;
  uint64_t rowsBytes_ = 0;
  uint64_t journalBytes_ = 0;
  StoreStats stats_;
};

// One atomic save of a table: open(), append() every row, commit().
// Destroying a writer that was not committed removes "rows.tmp" and leaves
// "rows" as it was.
class StoreWriter {
 public:
  explicit StoreWriter(TableStore& store);
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

  TableStore& store_;
  std::string dir_, tmpPath_, rowsPath_;
  int fd_ = -1;
  bool committed_ = false;
  bool haveLastId_ = false;
  uint32_t lastId_ = 0;
  uint32_t generation_ = 0;
  uint64_t bytes_ = 0;   // written to "rows.tmp" so far
  std::string buffer_;   // header and records not yet written
  std::string encoded_;  // scratch for one row
};

}  // namespace kv
