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
  if (size_ < STORE_HEADER_BYTES) {
    fail(0, "header truncated: " + std::to_string(size_) + " of 8 bytes");
    return false;
  }
  if (!readExact(header, sizeof header, 0)) return false;
  if (memcmp(header, MAGIC, sizeof MAGIC) != 0) {
    fail(0, "bad magic (not a table store file)");
    return false;
  }
  uint32_t version = loadU32(header + 4);
  if (version != STORE_VERSION) {
    fail(4, "unsupported version " + std::to_string(version));
    return false;
  }
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

// Feeds every good row of `file` to onRow; fills the damage part of the
// report when it stops early.
void readRows(FILE* file, const StoreRowFn& onRow, StoreLoadReport& report) {
  struct stat st {};
  if (fstat(fileno(file), &st) != 0) {
    report.damaged = true;
    report.problem = std::string("fstat: ") + strerror(errno);
    return;
  }
  RowsReader reader(file, static_cast<uint64_t>(st.st_size));
  bool ok = reader.readHeader();
  uint32_t id = 0;
  message row;
  int got = 0;
  while (ok && (got = reader.next(id, row)) == 1) {
    onRow(id, row);
    ++report.rows;
  }
  if (!ok || got < 0) {
    report.damaged = true;
    report.damageOffset = reader.damageOffset();
    report.problem = reader.problem();
  }
}

}  // namespace

uint32_t crc32(const void* data, size_t size, uint32_t crc) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = crc ^ 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = CRC_TABLE.entry[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void storeLog(int level, const std::string& text) {
  if (Looper* loop = getLooper()) {
    loop->log(level, text);
    return;
  }
  fprintf(stderr, "kv: %s\n", text.c_str());
  fflush(stderr);
}

// ---- TableStore ----------------------------------------------------------

TableStore::TableStore(std::string storePath) : storePath_(std::move(storePath)) {}

std::string TableStore::dirPath() const { return rootPath(storePath_); }

std::string TableStore::rowsPath() const { return dirPath() + "/" + STORE_ROWS_FILE; }

StoreLoadReport TableStore::load(const StoreRowFn& onRow) {
  StoreLoadReport report;
  const std::string file = rowsPath();
  FILE* f = fopen(file.c_str(), "rbe");
  if (!f && (errno == ENOENT || errno == ENOTDIR)) return report;
  report.found = true;
  if (!f) {
    report.damaged = true;
    report.problem = std::string("cannot open: ") + strerror(errno);
  } else {
    readRows(f, onRow, report);
    fclose(f);
  }
  if (!report.damaged) return report;

  std::string why;
  report.setAsidePath = setAside(file, why);
  std::string line = "store: " + file + ": " + report.problem + " at byte " +
                     std::to_string(report.damageOffset) + "; kept " +
                     std::to_string(report.rows) + " rows";
  if (!report.setAsidePath.empty()) {
    line += "; damaged file set aside as " + report.setAsidePath;
  } else {
    line += "; cannot set the damaged file aside (" + why + "): it stays, and the table is not saved over it";
    saveBlocked_ = Status::io("damaged " + file + " could not be set aside");
  }
  storeLog(LOG_LEVEL_ERROR, line);
  return report;
}

// Renames the damaged file to a name that is not taken; "" (and `why`) when
// it cannot. Never overwrites an earlier set-aside file.
std::string TableStore::setAside(const std::string& rowsFile, std::string& why) {
  const std::string dir = rowsFile.substr(0, rowsFile.rfind('/'));
  const std::string base = rowsFile + ".corrupt-" + std::to_string(wallSecondsNow());
  for (int n = 1; n <= MAX_SET_ASIDE_TRIES; ++n) {
    const std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0) continue;
    if (rename(rowsFile.c_str(), target.c_str()) != 0) {
      why = "rename to " + target + ": " + strerror(errno);
      return std::string();
    }
    syncDir(dir);  // best effort: the rename is what matters
    return target;
  }
  why = "every set-aside name for this second is taken";
  return std::string();
}

Status TableStore::save(const std::vector<message>& rows) {
  StoreWriter writer(*this);
  Status st = writer.open();
  for (size_t i = 0; st.isOk() && i < rows.size(); ++i) st = writer.append(rows[i]);
  return st.isOk() ? writer.commit() : st;
}

// ---- StoreWriter ---------------------------------------------------------

StoreWriter::StoreWriter(const TableStore& store) : store_(store) {}

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
  buffer_.assign(MAGIC, sizeof MAGIC);
  putU32(buffer_, STORE_VERSION);
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
  buffer_.clear();
  return st;
}

Status StoreWriter::commit() {
  if (fd_ < 0) return Status::io("store writer is not open");
  Status st = flushBuffer();
  if (st.isOk() && fsync(fd_) != 0) st = Status::fromErrno("fsync " + tmpPath_, errno);
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
  return syncDir(dir_);
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
