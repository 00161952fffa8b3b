#include "platform/store.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/allocator.h"
#include "platform/bytes.h"
#include "platform/journal.h"
#include "platform/looper.h"
#include "platform/message_codec.h"
#include "platform/root.h"
#include "platform/system.h"

namespace kv {
namespace {

constexpr char MAGIC[4] = {'K', 'V', 'T', '1'};
// The smallest encoded message: a field count of zero.
constexpr uint32_t MIN_RECORD_BYTES = 4;
// Records are gathered into writes of about this size.
constexpr size_t WRITE_CHUNK = 64 * 1024;
// Set-aside names tried for one second before giving up.
constexpr int MAX_SET_ASIDE_TRIES = 100;

struct CrcTable {
  uint32_t entry[256];
};

constexpr CrcTable makeCrcTable() {
  CrcTable table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table.entry[i] = c;
  }
  return table;
}

constexpr CrcTable CRC_TABLE = makeCrcTable();

std::string hex32(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(v));
  return text;
}

int64_t wallSecondsNow() {
  if (Looper* loop = getLooper()) return loop->clock().wallSeconds();
  return static_cast<int64_t>(time(nullptr));
}

Status syncDir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::fromErrno("open " + dir, errno);
  Status st = fsync(fd) == 0 ? Status::ok() : Status::fromErrno("fsync " + dir, errno);
  ::close(fd);
  return st;
}

Status writeAll(int fd, const std::string& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::fromErrno("write " + path, errno);
    done += static_cast<size_t>(n);
  }
  return Status::ok();
}

// Reads the records of one open rows file and stops at the first damage,
// remembering where it is and what it is.
class RowsReader {
 public:
  RowsReader(FILE* file, uint64_t size) : file_(file), size_(size) {}

  // Checks magic and version; false on damage.
  bool readHeader();
  // The next row: 1 when one was read, 0 at a clean end of the file, -1 on
  // damage.
  int next(uint32_t& id, message& row);

  uint64_t damageOffset() const { return damageOffset_; }
  const std::string& problem() const { return problem_; }
  // Set once the header was read whole (and, in the current version,
  // checked): 0 before, and for version 1.
  uint32_t generation() const { return generation_; }
  uint32_t version() const { return version_; }

 private:
  int fail(uint64_t offset, std::string what) {
    damageOffset_ = offset;
    problem_ = std::move(what);
    return -1;
  }
  bool readExact(void* dst, size_t n, uint64_t recordOffset);
  bool checkId(const message& row, uint32_t& id, uint64_t recordOffset);

  FILE* file_;
  uint64_t size_;
  uint64_t pos_ = 0;
  uint64_t damageOffset_ = 0;
  std::string problem_;
  std::string body_;
  uint32_t generation_ = 0;
  uint32_t version_ = 0;
  Allocator seen_;  // the ids read so far
};

bool RowsReader::readExact(void* dst, size_t n, uint64_t recordOffset) {
  if (n > 0 && fread(dst, 1, n, file_) != n) {
    fail(recordOffset, ferror(file_) ? std::string("read error: ") + strerror(errno)
                                     : std::string("file shrank while being read"));
    return false;
  }
  pos_ += n;
  return true;
}

bool RowsReader::readHeader() {
  uint8_t header[STORE_HEADER_BYTES];
  if (size_ < 8) {
    fail(0, "header truncated: " + std::to_string(size_) + " of 8 bytes");
    return false;
  }
  if (!readExact(header, 8, 0)) return false;
  if (memcmp(header, MAGIC, sizeof MAGIC) != 0) {
    fail(0, "bad magic (not a table store file)");
    return false;
  }
  const uint32_t version = loadU32(header + 4);
  if (version < 1 || version > STORE_VERSION) {
    fail(4, "unsupported version " + std::to_string(version));
    return false;
  }
  const size_t headerBytes = storeHeaderBytes(version);
  if (size_ < headerBytes) {
    fail(0, "header truncated: " + std::to_string(size_) + " of " + std::to_string(headerBytes) +
                " bytes");
    return false;
  }
  if (!readExact(header + 8, headerBytes - 8, 8)) return false;
  if (version == STORE_VERSION && !headerCrcMatches(header, headerBytes, problem_)) {
    fail(STORE_HEADER_CRC_OFFSET, problem_);
    return false;
  }
  version_ = version;
  if (version >= 2) generation_ = loadU32(header + 8);
  return true;
}

int RowsReader::next(uint32_t& id, message& row) {
  const uint64_t at = pos_;
  const uint64_t left = size_ - pos_;
  if (left == 0) return 0;
  if (left < STORE_RECORD_HEAD_BYTES) {
    return fail(at, "record head truncated: " + std::to_string(left) + " of 8 bytes");
  }
  uint8_t head[STORE_RECORD_HEAD_BYTES];
  if (!readExact(head, sizeof head, at)) return -1;
  const uint32_t length = loadU32(head);
  const uint32_t storedCrc = loadU32(head + 4);
  if (length < MIN_RECORD_BYTES || length > MAX_ENCODED_MESSAGE) {
    return fail(at, "bad record length " + std::to_string(length));
  }
  if (length > size_ - pos_) {
    return fail(at, "record truncated: length " + std::to_string(length) + " but " +
                        std::to_string(size_ - pos_) + " bytes follow");
  }
  body_.resize(length);
  if (!readExact(&body_[0], length, at)) return -1;
  const uint32_t actualCrc = crc32(body_.data(), body_.size());
  if (actualCrc != storedCrc) {
    return fail(at, "CRC mismatch (stored " + hex32(storedCrc) + ", computed " +
                        hex32(actualCrc) + ")");
  }
  Status st = decodeMessage(body_, row);
  if (!st.isOk()) return fail(at, "row does not decode: " + st.message());
  return checkId(row, id, at) ? 1 : -1;
}

bool RowsReader::checkId(const message& row, uint32_t& id, uint64_t recordOffset) {
  if (!row.has(OBJECT_ID_FIELD)) {
    fail(recordOffset, "row without an object id");
    return false;
  }
  id = row.get(OBJECT_ID_FIELD);
  if (!Allocator::isValid(id)) {
    fail(recordOffset, "invalid object id " + hex32(id));
    return false;
  }
  if (!seen_.allocate(id)) {
    fail(recordOffset, "object id " + std::to_string(id) + " appears twice");
    return false;
  }
  return true;
}

// Puts every good row that `reader` reads into `rows`; the reader tells
// where it stopped. False when the header could not be read (no generation).
bool readRows(RowsReader& reader, std::map<uint32_t, message>& rows, bool& damaged) {
  if (!reader.readHeader()) {
    damaged = true;
    return false;
  }
  uint32_t id = 0;
  message row;
  int got = 0;
  while ((got = reader.next(id, row)) == 1) rows.emplace_hint(rows.end(), id, std::move(row));
  damaged = got < 0;
  return true;
}

uint64_t fileSize(FILE* file) {
  struct stat st {};
  return fstat(fileno(file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

uint32_t crc32(const void* data, size_t size, uint32_t crc) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = crc ^ 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = CRC_TABLE.entry[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

size_t storeHeaderBytes(uint32_t version) {
  return version == 1 ? 8 : version == 2 ? 12 : STORE_HEADER_BYTES;
}

void putHeaderCrc(std::string& header) { putU32(header, crc32(header.data(), header.size())); }

bool headerCrcMatches(const uint8_t* header, size_t headerBytes, std::string& problem) {
  const size_t covered = headerBytes - 4;
  const uint32_t stored = loadU32(header + covered);
  const uint32_t computed = crc32(header, covered);
  if (stored == computed) return true;
  problem = "header CRC mismatch (stored " + hex32(stored) + ", computed " + hex32(computed) + ")";
  return false;
}

void storeLog(int level, const std::string& text) {
  if (Looper* loop = getLooper()) {
    loop->log(level, text);
    return;
  }
  fprintf(stderr, "kv: %s\n", text.c_str());
  fflush(stderr);
}

// ---- TableStore: loading -------------------------------------------------

TableStore::TableStore(std::string storePath) : storePath_(std::move(storePath)) {}

std::string TableStore::dirPath() const { return rootPath(storePath_); }

std::string TableStore::rowsPath() const { return dirPath() + "/" + STORE_ROWS_FILE; }

std::string TableStore::journalPath() const { return dirPath() + "/" + JOURNAL_FILE; }

StoreLoadReport TableStore::load(const StoreRowFn& onRow) {
  StoreLoadReport report;
  generation_ = 0;
  rowsBytes_ = journalBytes_ = 0;
  const std::string dir = dirPath();
  ::unlink((rowsPath() + ".tmp").c_str());  // left by a save that was cut short
  std::map<uint32_t, message> rows;
  const RowsHeader rowsHeader = readRowsFile(rows, report);
  readJournalFile(rowsHeader, rows, report);
  for (const auto& entry : rows) onRow(entry.first, entry.second);
  report.rows = rows.size();
  knownDir_ = dir;
  return report;
}

// What the rows file's header said: whether a journal may be replayed over
// it, and whether its generation is proven by a checksum.
TableStore::RowsHeader TableStore::readRowsFile(std::map<uint32_t, message>& rows,
                                                StoreLoadReport& report) {
  const std::string file = rowsPath();
  FILE* f = fopen(file.c_str(), "rbe");
  if (!f && (errno == ENOENT || errno == ENOTDIR)) return RowsHeader::Missing;
  report.found = true;
  if (!f) {
    damaged(file, 0, std::string("cannot open: ") + strerror(errno), "kept 0 rows", report);
    return RowsHeader::Damaged;
  }
  const uint64_t size = fileSize(f);
  RowsReader reader(f, size);
  bool damage = false;
  const bool headerRead = readRows(reader, rows, damage);
  fclose(f);
  generation_ = reader.generation();
  rowsBytes_ = size;
  if (damage) {
    damaged(file, reader.damageOffset(), reader.problem(),
            "kept " + std::to_string(rows.size()) + " rows", report);
  }
  if (!headerRead) return RowsHeader::Damaged;
  if (reader.version() == STORE_VERSION) return RowsHeader::Checked;
  report.oldFormat = true;
  return RowsHeader::Unchecked;
}

// Replays the journal when it extends the rows file that was read. One of
// the generation before is already part of the rows file and is removed,
// but only when both headers prove their generations with a checksum:
// else a flipped bit could pass a journal of acknowledged changes for a
// stale one.
void TableStore::readJournalFile(RowsHeader rowsHeader, std::map<uint32_t, message>& rows,
                                 StoreLoadReport& report) {
  const std::string file = journalPath();
  FILE* f = fopen(file.c_str(), "rbe");
  if (!f && (errno == ENOENT || errno == ENOTDIR)) return;
  report.found = true;
  if (!f) return damaged(file, 0, std::string("cannot open: ") + strerror(errno), "applied 0 changes", report);
  if (rowsHeader == RowsHeader::Damaged) {
    fclose(f);
    return damaged(file, 0, "not replayed: the rows file's header is damaged", "applied 0 changes", report);
  }
  const uint64_t size = fileSize(f);
  JournalReadResult read = readJournal(f, size, generation_, rows);
  fclose(f);
  const std::string applied = "applied " + std::to_string(read.changes) + " changes";
  if (read.headerRead && read.generation != generation_) {
    const bool previous = read.generation + 1 == generation_;
    if (previous && read.headerChecked && rowsHeader == RowsHeader::Checked) {
      ::unlink(file.c_str());
      return;
    }
    const std::string told = "generation " + std::to_string(read.generation) + " ";
    const std::string rowsGeneration = "rows file (generation " + std::to_string(generation_) + ")";
    return damaged(file, 8,
                   previous ? told + "is the one before the " + rowsGeneration +
                                  ", but a header without a checksum cannot prove it"
                            : told + "does not extend the " + rowsGeneration,
                   applied, report);
  }
  if (read.headerRead && !read.headerChecked) report.oldFormat = true;
  report.journalChanges = read.changes;
  if (read.end == JournalReadResult::End::Damaged) {
    return damaged(file, read.problemOffset, read.problem, applied, report);
  }
  if (read.end == JournalReadResult::End::Torn) {
    report.tornJournal = true;
    storeLog(LOG_LEVEL_WARNING, "store: " + file + ": torn record at the end ignored (" +
                                    read.problem + " at byte " + std::to_string(read.problemOffset) +
                                    "); " + applied);
    return;
  }
  journalBytes_ = size;
}

// Logs damage in `file`, sets the file aside and notes it in the report.
void TableStore::damaged(const std::string& file, uint64_t offset, const std::string& problem,
                         const std::string& kept, StoreLoadReport& report) {
  std::string why;
  const std::string aside = setAside(file, why);
  if (!report.damaged) {
    report.damaged = true;
    report.damageOffset = offset;
    report.problem = problem;
    report.setAsidePath = aside;
  }
  std::string line = "store: " + file + ": " + problem + " at byte " + std::to_string(offset) +
                     "; " + kept;
  if (!aside.empty()) {
    line += "; damaged file set aside as " + aside;
  } else {
    line += "; cannot set the damaged file aside (" + why + "): it stays, and the table is not saved over it";
    saveBlocked_ = Status::io("damaged " + file + " could not be set aside");
  }
  storeLog(LOG_LEVEL_ERROR, line);
}

// Renames the damaged file to a name that is not taken; "" (and `why`) when
// it cannot. Never overwrites an earlier set-aside file.
std::string TableStore::setAside(const std::string& file, std::string& why) {
  const std::string dir = file.substr(0, file.rfind('/'));
  const std::string base = file + ".corrupt-" + std::to_string(wallSecondsNow());
  for (int n = 1; n <= MAX_SET_ASIDE_TRIES; ++n) {
    const std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0) continue;
    if (rename(file.c_str(), target.c_str()) != 0) {
      why = "rename to " + target + ": " + strerror(errno);
      return std::string();
    }
    syncDir(dir);  // best effort: the rename is what matters
    return target;
  }
  why = "every set-aside name for this second is taken";
  return std::string();
}

// ---- TableStore: writing -------------------------------------------------

Status TableStore::save(const std::vector<message>& rows) {
  StoreWriter writer(*this);
  Status st = writer.open();
  for (size_t i = 0; st.isOk() && i < rows.size(); ++i) st = writer.append(rows[i]);
  return st.isOk() ? writer.commit() : st;
}

bool TableStore::canAppend() const { return !knownDir_.empty() && knownDir_ == dirPath(); }

// The journal is opened for each append and closed after it: the store
// holds no descriptor between writes.
Status TableStore::appendJournal(const std::string& records) {
  if (!saveBlocked_.isOk()) return saveBlocked_;
  if (!canAppend()) return Status::io("store " + dirPath() + " was not loaded");
  const bool create = journalBytes_ == 0;
  const std::string path = journalPath();
  int fd = -1;
  Status st = openJournal(create, fd);
  const std::string bytes = create ? journalHeader(generation_) + records : records;
  if (st.isOk()) {
    st = writeAll(fd, bytes, path);
    stats_.bytesWritten += bytes.size();
  }
  if (st.isOk()) {
    ++stats_.syncs;
    if (fdatasync(fd) != 0) st = Status::fromErrno("fdatasync " + path, errno);
  }
  if (st.isOk() && create) {
    ++stats_.syncs;  // the new file's name must survive too
    st = syncDir(dirPath());
  }
  if (st.isOk()) {
    journalBytes_ += bytes.size();
  } else {
    abandonAppend(fd);
  }
  if (fd >= 0 && ::close(fd) != 0 && st.isOk()) st = Status::fromErrno("close " + path, errno);
  return st;
}

Status TableStore::openJournal(bool create, int& fd) {
  const std::string path = journalPath();
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  if (create) {
    Status st = makeParentDirs(path);
    if (!st.isOk()) return st;
    ::unlink(path.c_str());  // one that is not part of the rows; a fresh file gets mode 0600
    flags |= O_CREAT | O_TRUNC;
  }
  fd = ::open(path.c_str(), flags, 0600);
  return fd >= 0 ? Status::ok() : Status::fromErrno("open " + path, errno);
}

// After a failed append: what was written of it must not reach the disk
// later, so the journal is cut back to its synced length (best effort).
void TableStore::abandonAppend(int fd) {
  if (journalBytes_ == 0) {
    ::unlink(journalPath().c_str());
  } else if (fd >= 0 && ftruncate(fd, static_cast<off_t>(journalBytes_)) == 0) {
    fdatasync(fd);
  }
}

void TableStore::rowsWritten(uint32_t generation, uint64_t bytes, bool dirSynced) {
  generation_ = generation;
  rowsBytes_ = bytes;
  knownDir_ = dirPath();
  journalBytes_ = 0;
  // Until the rename is known to be on disk, the old rows may come back
  // after a crash, and they need their journal.
  if (dirSynced) ::unlink(journalPath().c_str());
}

// ---- StoreWriter ---------------------------------------------------------

StoreWriter::StoreWriter(TableStore& store) : store_(store) {}

StoreWriter::~StoreWriter() { abandon(); }

Status StoreWriter::open() {
  if (!store_.saveBlocked().isOk()) return store_.saveBlocked();
  if (fd_ >= 0 || committed_) return Status::io("store writer opened twice");
  dir_ = store_.dirPath();
  tmpPath_ = dir_ + "/" + STORE_ROWS_FILE + ".tmp";
  rowsPath_ = dir_ + "/" + STORE_ROWS_FILE;
  Status st = makeParentDirs(tmpPath_);
  if (!st.isOk()) return st;
  ::unlink(tmpPath_.c_str());  // a leftover of a crash; a fresh file gets mode 0600
  fd_ = ::open(tmpPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ < 0) return Status::fromErrno("open " + tmpPath_, errno);
  if (store_.canAppend()) {
    generation_ = store_.generation_ + 1;
  } else {
    // Rows that were never loaded here replace whatever the directory
    // holds: its journal must not be replayed over them.
    generation_ = 1;
    if (::unlink(store_.journalPath().c_str()) == 0) syncDir(dir_);
  }
  buffer_.assign(MAGIC, sizeof MAGIC);
  putU32(buffer_, STORE_VERSION);
  putU32(buffer_, generation_);
  putHeaderCrc(buffer_);
  return Status::ok();
}
Status StoreWriter::append(const message& row) {
  if (fd_ < 0) return Status::io("store writer is not open");
  if (!row.has(OBJECT_ID_FIELD)) return Status::malformed("row without an object id");
  const uint32_t id = row.get(OBJECT_ID_FIELD);
  if (!Allocator::isValid(id)) return Status::malformed("invalid object id " + hex32(id));
  if (haveLastId_ && id <= lastId_) {
    return Status::malformed("object id " + std::to_string(id) + " not above " +
                             std::to_string(lastId_));
  }
  const size_t size = encodedSize(row);
  if (size > MAX_ENCODED_MESSAGE) {
    return Status::tooLarge("row " + std::to_string(id) + " encodes to " +
                            std::to_string(size) + " bytes");
  }
  encoded_.clear();
  encodeMessage(row, encoded_);
  putU32(buffer_, static_cast<uint32_t>(encoded_.size()));
  putU32(buffer_, crc32(encoded_.data(), encoded_.size()));
  buffer_ += encoded_;
  haveLastId_ = true;
  lastId_ = id;
  return buffer_.size() >= WRITE_CHUNK ? flushBuffer() : Status::ok();
}

Status StoreWriter::flushBuffer() {
  Status st = writeAll(fd_, buffer_, tmpPath_);
  bytes_ += buffer_.size();
  store_.stats_.bytesWritten += buffer_.size();
  buffer_.clear();
  return st;
}

Status StoreWriter::commit() {
  if (fd_ < 0) return Status::io("store writer is not open");
  Status st = flushBuffer();
  if (st.isOk()) {
    ++store_.stats_.syncs;
    if (fsync(fd_) != 0) st = Status::fromErrno("fsync " + tmpPath_, errno);
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && st.isOk()) st = Status::fromErrno("close " + tmpPath_, errno);
  if (st.isOk() && rename(tmpPath_.c_str(), rowsPath_.c_str()) != 0) {
    st = Status::fromErrno("rename " + tmpPath_ + " to " + rowsPath_, errno);
  }
  if (!st.isOk()) {
    abandon();
    return st;
  }
  committed_ = true;
  ++store_.stats_.syncs;
  st = syncDir(dir_);
  store_.rowsWritten(generation_, bytes_, st.isOk());
  return st;
}

void StoreWriter::abandon() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!committed_ && !tmpPath_.empty()) ::unlink(tmpPath_.c_str());
  tmpPath_.clear();
}

}  // namespace kv
