#include "platform/journal.h"

#include <errno.h>

#include <cstring>
#include <utility>

#include "platform/allocator.h"
#include "platform/bytes.h"
#include "platform/message_codec.h"
#include "platform/store.h"
#include "platform/system.h"

namespace kv {
namespace {

constexpr char MAGIC[4] = {'K', 'V', 'J', '1'};
constexpr size_t RECORD_HEAD_BYTES = 8;
// A kind byte and a u32 id: the smallest record, a delete.
constexpr uint32_t MIN_BODY_BYTES = 5;
constexpr uint32_t MAX_BODY_BYTES = MAX_ENCODED_MESSAGE + 1;

void appendRecord(std::string& out, uint8_t kind, const std::string& payload) {
  std::string body;
  body.reserve(1 + payload.size());
  putU8(body, kind);
  body += payload;
  putU32(out, static_cast<uint32_t>(body.size()));
  putU32(out, crc32(body.data(), body.size()));
  out += body;
}

// Reads records one at a time; a problem ends the walk and is classified
// as a torn tail or as damage.
class JournalReader {
 public:
  JournalReader(FILE* file, uint64_t size, JournalReadResult& result)
      : file_(file), size_(size), result_(result) {}

  bool readHeader();
  // Applies the next record to `rows`: true when one was applied, false at
  // the end of the file or at a problem (result_.end tells which).
  bool applyNext(std::map<uint32_t, message>& rows);

 private:
  bool stop(uint64_t offset, std::string what, bool lastRecord = false);
  bool onlyZerosFrom(uint64_t offset);
  bool readExact(void* dst, size_t n);
  bool apply(const std::string& body, uint64_t at, std::map<uint32_t, message>& rows);

  FILE* file_;
  uint64_t size_;
  uint64_t pos_ = 0;
  JournalReadResult& result_;
  std::string body_;
};

bool JournalReader::stop(uint64_t offset, std::string what, bool lastRecord) {
  result_.problemOffset = offset;
  result_.problem = std::move(what);
  const bool torn = lastRecord || onlyZerosFrom(offset);
  result_.end = torn ? JournalReadResult::End::Torn : JournalReadResult::End::Damaged;
  return false;
}

bool JournalReader::onlyZerosFrom(uint64_t offset) {
  if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  char chunk[4096];
  for (uint64_t left = size_ - offset; left > 0;) {
    const size_t n = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
    if (fread(chunk, 1, n, file_) != n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (chunk[i] != 0) return false;
    }
    left -= n;
  }
  return true;
}

bool JournalReader::readExact(void* dst, size_t n) {
  if (n > 0 && fread(dst, 1, n, file_) != n) {
    const int err = errno;
    return stop(pos_, ferror(file_) ? std::string("read error: ") + strerror(err)
                                    : std::string("file shrank while being read"));
  }
  pos_ += n;
  return true;
}

bool JournalReader::readHeader() {
  if (size_ < 8) return stop(0, "header truncated: " + std::to_string(size_) + " of 8 bytes", true);
  uint8_t header[JOURNAL_HEADER_BYTES];
  if (!readExact(header, 8)) return false;
  if (memcmp(header, MAGIC, sizeof MAGIC) != 0) return stop(0, "bad magic (not a table journal)");
  const uint32_t version = loadU32(header + 4);
  if (version < 1 || version > JOURNAL_VERSION) {
    return stop(4, "unsupported version " + std::to_string(version));
  }
  const size_t headerBytes = version == 1 ? 12 : JOURNAL_HEADER_BYTES;
  if (size_ < headerBytes) {
    return stop(0, "header truncated: " + std::to_string(size_) + " of " +
                       std::to_string(headerBytes) + " bytes", true);
  }
  if (!readExact(header + 8, headerBytes - 8)) return false;
  std::string problem;
  if (version == JOURNAL_VERSION && !headerCrcMatches(header, headerBytes, problem)) {
    return stop(STORE_HEADER_CRC_OFFSET, problem);
  }
  result_.headerRead = true;
  result_.headerChecked = version == JOURNAL_VERSION;
  result_.generation = loadU32(header + 8);
  result_.goodBytes = headerBytes;
  return true;
}

bool JournalReader::applyNext(std::map<uint32_t, message>& rows) {
  const uint64_t at = pos_;
  const uint64_t left = size_ - pos_;
  if (left == 0) return false;
  if (left < RECORD_HEAD_BYTES) {
    return stop(at, "record head truncated: " + std::to_string(left) + " of 8 bytes", true);
  }
  uint8_t head[RECORD_HEAD_BYTES];
  if (!readExact(head, sizeof head)) return false;
  const uint32_t length = loadU32(head);
  const uint32_t storedCrc = loadU32(head + 4);
  if (length > size_ - pos_) {
    return stop(at, "record truncated: length " + std::to_string(length) + " but " +
                        std::to_string(size_ - pos_) + " bytes follow", true);
  }
  if (length < MIN_BODY_BYTES || length > MAX_BODY_BYTES) {
    return stop(at, "bad record length " + std::to_string(length));
  }
  body_.resize(length);
  if (!readExact(&body_[0], length)) return false;
  const uint32_t actualCrc = crc32(body_.data(), body_.size());
  if (actualCrc != storedCrc) {
    char text[80];
    snprintf(text, sizeof text, "CRC mismatch (stored 0x%08x, computed 0x%08x)",
             static_cast<unsigned>(storedCrc), static_cast<unsigned>(actualCrc));
    return stop(at, text, pos_ == size_);
  }
  if (!apply(body_, at, rows)) return false;
  ++result_.changes;
  result_.goodBytes = pos_;
  return true;
}

bool JournalReader::apply(const std::string& body, uint64_t at, std::map<uint32_t, message>& rows) {
  const uint8_t kind = static_cast<uint8_t>(body[0]);
  if (kind == JOURNAL_DELETE) {
    const uint32_t id = body.size() == 5 ? loadU32(reinterpret_cast<const uint8_t*>(&body[1])) : 0;
    if (!Allocator::isValid(id)) return stop(at, "bad delete record");
    rows.erase(id);  // a row that is already gone stays gone
    return true;
  }
  if (kind != JOURNAL_PUT) return stop(at, "unknown record kind " + std::to_string(kind));
  message row;
  Status st = decodeMessage(body.data() + 1, body.size() - 1, row);
  if (!st.isOk()) return stop(at, "row does not decode: " + st.message());
  const uint32_t id = row.get(OBJECT_ID_FIELD, Allocator::NONE);
  if (!Allocator::isValid(id)) return stop(at, "row without a valid object id");
  rows[id] = std::move(row);
  return true;
}

}  // namespace

std::string journalHeader(uint32_t generation) {
  std::string header(MAGIC, sizeof MAGIC);
  putU32(header, JOURNAL_VERSION);
  putU32(header, generation);
  putHeaderCrc(header);
  return header;
}

Status appendPutRecord(std::string& out, const message& row) {
  const size_t size = encodedSize(row);
  if (size > MAX_ENCODED_MESSAGE) {
    return Status::tooLarge("row " + std::to_string(row.get(OBJECT_ID_FIELD)) + " encodes to " +
                            std::to_string(size) + " bytes");
  }
  appendRecord(out, JOURNAL_PUT, encodeMessage(row));
  return Status::ok();
}

void appendDeleteRecord(std::string& out, uint32_t id) {
  std::string payload;
  putU32(payload, id);
  appendRecord(out, JOURNAL_DELETE, payload);
}

JournalReadResult readJournal(FILE* file, uint64_t size, uint32_t generation,
                              std::map<uint32_t, message>& rows) {
  JournalReadResult result;
  JournalReader reader(file, size, result);
  if (!reader.readHeader() || result.generation != generation) return result;
  while (reader.applyNext(rows)) {
  }
  return result;
}

}  // namespace kv
