#include "platform/amap.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/journal.h"
#include "platform/looper.h"
#include "platform/message_codec.h"
#include "platform/system.h"

static_assert(Object::NO_ID == kv::Allocator::NONE, "one 'no id' value for rows and ids");

AMap::AMap(const std::string& storePath, int persist, int /*saveIntervalSeconds*/)
    : store_(storePath), persist_(persist != 0) {}

AMap::~AMap() { kv::CommitGroup::instance().tableGoing(*this); }

kv::Status AMap::init() {
  if (!storesRows()) return kv::Status::ok();
  bool corrected = false;
  kv::StoreLoadReport report = store_.load(
      [this, &corrected](uint32_t id, const kv::message& row) { corrected |= loadRow(id, row); });
  if (!report.rewrite() && !corrected) return kv::Status::ok();
  // Replace what was set aside, torn or corrected by a file that holds the
  // table as it was loaded.
  rewriteDue_ = true;
  commitRows();
  if (!report.damaged) return kv::Status::ok();
  return kv::Status::malformed(storePath() + ": " + report.problem + " at byte " +
                               std::to_string(report.damageOffset));
}

bool AMap::loadRow(uint32_t id, const kv::message& stored) {
  std::unique_ptr<Object> row = createRow();
  if (!row) return false;
  row->readFrom(stored);
  row->id = id;
  const LoadedRow verdict = checkLoaded(*row);
  if (verdict == LoadedRow::Drop) return true;
  row->id = id;  // whatever the check did to it
  if (!allocator_.allocate(id)) {
    kv::storeLog(kv::LOG_LEVEL_ERROR, "store: " + store_.storePath() + ": object id " +
                                          std::to_string(id) + " already in use; stored row skipped");
    return true;
  }
  rows_.emplace_hint(rows_.end(), id, std::move(row));
  return verdict == LoadedRow::Repaired;
}

// ---- Rows ------------------------------------------------------------------

uint32_t AMap::add(std::unique_ptr<Object> row, bool notify) {
  if (!row) return Object::NO_ID;
  const uint32_t id = allocator_.allocate();
  if (id == kv::Allocator::NONE) return Object::NO_ID;
  row->id = id;
  Object& added = *row;
  if (spareNode_) {  // ids increase: the new row goes last, where the hint is
    spareNode_.key() = id;
    spareNode_.mapped() = std::move(row);
    rows_.insert(rows_.end(), std::move(spareNode_));
  } else {
    rows_.emplace_hint(rows_.end(), id, std::move(row));
  }
  if (!storeAdded(added, notify) && notify) rowAdded(added);
  return id;
}

AMapIterator AMap::remove(AMapIterator it) {
  if (it == end()) return end();
  const uint32_t id = it.base()->first;
  takeOut(it);  // and destroyed
  // Looked up after the notification, which may have removed more rows.
  return AMapIterator(rows_.upper_bound(id));
}

std::unique_ptr<Object> AMap::takeFirst() { return rows_.empty() ? nullptr : takeOut(begin()); }

// Takes the row at `it` out, gives its id back and keeps its map node for
// the next add; the row goes to the caller, or to the command's commit.
std::unique_ptr<Object> AMap::takeOut(AMapIterator it) {
  auto node = rows_.extract(it.base());
  allocator_.free(node.key());
  std::unique_ptr<Object> row = std::move(node.mapped());
  spareNode_ = std::move(node);
  if (storeRemoved(row)) return nullptr;
  rowRemoved(*row);
  return row;
}

AMapIterator AMap::find(uint32_t id) {
  return unstoredAdds_.count(id) ? end() : AMapIterator(rows_.find(id));
}

Object* AMap::findRow(uint32_t id) const {
  auto it = rows_.find(id);
  return it == rows_.end() || unstoredAdds_.count(id) ? nullptr : it->second.get();
}

kv::message AMap::rowMessage(const Object& row) {
  kv::message msg;
  msg.set(kv::OBJECT_ID_FIELD, row.id);
  row.writeTo(msg);
  return msg;
}

// ---- Hooks: defaults -------------------------------------------------------

AMap::LoadedRow AMap::checkLoaded(Object&) { return LoadedRow::Keep; }
kv::message AMap::checkAdd(Object&) { return kv::message(); }
kv::message AMap::checkSet(Object&, Object&) { return kv::message(); }
kv::message AMap::checkRemove(Object&) { return kv::message(); }
void AMap::rowAdded(Object&) {}
void AMap::rowChanged(Object&) {}
void AMap::rowRemoved(Object&) {}

// ---- Journalling changes ---------------------------------------------------

bool AMap::storeAdded(Object& row, bool notify) {
  if (!storesRows()) return false;
  journalPut(row);
  kv::CommitGroup& group = kv::CommitGroup::instance();
  if (!group.inCommand()) return false;
  group.addChange({this, kv::TableChange::Kind::Added, row.id, notify, nullptr});
  unstoredAdds_.insert(row.id);
  return true;
}

bool AMap::storeChanged(Object& row, std::unique_ptr<Object> before) {
  if (!storesRows()) return false;
  journalPut(row);
  kv::CommitGroup& group = kv::CommitGroup::instance();
  if (!group.inCommand()) return false;
  group.addChange({this, kv::TableChange::Kind::Changed, row.id, false, std::move(before)});
  return true;
}

bool AMap::storeRemoved(std::unique_ptr<Object>& row) {
  if (!storesRows()) return false;
  kv::appendDeleteRecord(journal_, row->id);
  kv::CommitGroup& group = kv::CommitGroup::instance();
  group.tableChanged(*this);
  if (!group.inCommand()) return false;
  const uint32_t id = row->id;
  group.addChange({this, kv::TableChange::Kind::Removed, id, false, std::move(row)});
  return true;
}

// A row too large for a record cannot be journalled: the whole rows file is
// written instead, which leaves it out with a log line (writeRows).
bool AMap::journalPut(const Object& row) {
  const bool ok = kv::appendPutRecord(journal_, rowMessage(row)).isOk();
  if (!ok) rewriteDue_ = true;
  kv::CommitGroup::instance().tableChanged(*this);
  return ok;
}

void AMap::rewriteRows() {
  rewriteDue_ = true;
  kv::CommitGroup::instance().tableChanged(*this);
}

void AMap::markChanged() {
  if (storesRows()) rewriteRows();
}

kv::Status AMap::flush() {
  kv::CommitGroup::instance().commit();
  return dirty() ? lastCommit_ : kv::Status::ok();
}

// ---- Storing (called by the commit group) ----------------------------------

kv::Status AMap::commitRows() {
  if (!dirty()) return lastCommit_ = kv::Status::ok();
  retryTimer_.cancel();
  const uint64_t bound = std::max(JOURNAL_COMPACT_BYTES, store_.rowsBytes());
  const bool whole = rewriteDue_ || !store_.canAppend() ||
                     store_.journalBytes() + journal_.size() > bound;
  kv::Status st = whole ? writeRows() : store_.appendJournal(journal_);
  journal_.clear();
  lastCommit_ = st;
  if (st.isOk()) {
    rewriteDue_ = false;
    ++saveCount_;
    if (commitFailing_) kv::storeLog(kv::LOG_LEVEL_INFO, "store: " + storePath() + ": saved again");
    commitFailing_ = false;
    return st;
  }
  // The journal may not be appended to before the rows file is rewritten:
  // memory is what must be stored now.
  rewriteDue_ = true;
  if (!commitFailing_) {
    kv::storeLog(kv::LOG_LEVEL_ERROR, "store: " + storePath() + ": save failed (" + st.message() +
                                          "); retrying every " +
                                          std::to_string(SAVE_RETRY_SECONDS) + " s");
  }
  commitFailing_ = true;
  kv::ThinRunner& runner = kv::getRunner();
  retryTimer_ = kv::Timer(runner, SAVE_RETRY_SECONDS * kv::Ticks(runner.clock().ticksPerSecond()),
                          [this] { kv::CommitGroup::instance().tableChanged(*this); });
  return st;
}

// One write of every row. A row that cannot be stored (too large) is left
// out with a log line rather than failing the write of all the others.
kv::Status AMap::writeRows() {
  kv::StoreWriter writer(store_);
  kv::Status st = writer.open();
  if (!st.isOk()) return st;
  for (const auto& entry : rows_) {
    st = writer.append(rowMessage(*entry.second));
    if (st.kind() == kv::Status::Kind::Io) return st;
    if (!st.isOk()) {
      kv::storeLog(kv::LOG_LEVEL_ERROR, "store: " + storePath() + ": row " +
                                            std::to_string(entry.first) + " not saved: " + st.message());
    }
  }
  return writer.commit();
}

void AMap::undoChange(kv::TableChange& change) {
  using Kind = kv::TableChange::Kind;
  if (change.kind == Kind::Added) unstoredAdds_.erase(change.id);
  auto it = rows_.find(change.id);
  if (change.kind == Kind::Added && it != rows_.end()) {
    rows_.erase(it);
    allocator_.free(change.id);
  } else if (change.kind == Kind::Changed && it != rows_.end()) {
    copyRow(*it->second, *change.row);
    it->second->id = change.id;
  } else if (change.kind == Kind::Removed) {
    if (it == rows_.end() && allocator_.allocate(change.id)) {
      rows_.emplace(change.id, std::move(change.row));
    } else {
      kv::storeLog(kv::LOG_LEVEL_ERROR, "store: " + storePath() + ": removed row " +
                                            std::to_string(change.id) + " cannot be put back");
    }
  }
}

void AMap::confirmChange(kv::TableChange& change) {
  using Kind = kv::TableChange::Kind;
  if (change.kind == Kind::Removed) {
    rowRemoved(*change.row);
    change.row.reset();
    return;
  }
  if (change.kind == Kind::Added) unstoredAdds_.erase(change.id);
  Object* row = findRow(change.id);
  if (!row) return;  // removed since, by the service
  if (change.kind == Kind::Changed) rowChanged(*row);
  if (change.kind == Kind::Added && change.notify) rowAdded(*row);
}

// ---- Generic table commands ------------------------------------------------

namespace {

// A change command as one unit of the commit group: its changes, in any
// table, are stored together before `reply` is sent (commit_group.h).
class CommandScope {
 public:
  CommandScope(kv::Handler& handler, const kv::message& request)
      : handler_(handler), request_(request) {
    kv::CommitGroup::instance().beginCommand();
  }
  ~CommandScope() { kv::CommitGroup::instance().endCommand(handler_, request_, reply); }
  CommandScope(const CommandScope&) = delete;
  CommandScope& operator=(const CommandScope&) = delete;

  kv::message reply;  // success (empty) unless a path sets another

 private:
  kv::Handler& handler_;
  const kv::message& request_;
};

}  // namespace

Object* AMap::requestedRow(kv::message& request) {
  if (!request.has(kv::OBJECT_ID_FIELD)) {
    replyMessage(request, kv::errorMsg(kv::ERR_BAD_REQUEST, "object id required"));
    return nullptr;
  }
  Object* row = findRow(request.get(kv::OBJECT_ID_FIELD));
  if (!row) replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no such object"));
  return row;
}

kv::message AMap::rowMessageFor(const Object& row, const kv::message& request) const {
  kv::message msg = rowMessage(row);
  if (!(request.get(kv::RIGHTS_FIELD, kv::RIGHT_READ) & kv::RIGHT_WRITE)) hideFromReader(msg);
  return msg;
}

bool AMap::deferRead(kv::message& request, void (AMap::*read)(kv::message&)) {
  return kv::CommitGroup::instance().deferRead(
      *this, [this, request, read]() mutable { (this->*read)(request); });
}

void AMap::cmdGetObj(kv::message& request) {
  if (deferRead(request, &AMap::cmdGetObj)) return;
  if (Object* row = requestedRow(request)) replyMessage(request, rowMessageFor(*row, request));
}

void AMap::cmdGetAll(kv::message& request) {
  if (deferRead(request, &AMap::cmdGetAll)) return;
  auto it = request.has(kv::AFTER_ID_FIELD) ? rows_.upper_bound(request.get(kv::AFTER_ID_FIELD))
                                            : rows_.begin();
  std::vector<kv::message> page;
  size_t pageBytes = 0;
  for (; it != rows_.end(); ++it) {
    kv::message row = rowMessageFor(*it->second, request);
    const size_t rowBytes = kv::encodedSize(row);
    if (!page.empty() && pageBytes + rowBytes > GET_ALL_PAGE_BYTES) break;
    pageBytes += rowBytes;
    page.push_back(std::move(row));
  }
  kv::message reply;
  reply.set(kv::ROWS_FIELD, std::move(page));
  if (it != rows_.end()) reply.set(kv::MORE_FIELD, true);
  replyMessage(request, reply);
}

void AMap::cmdAddObj(kv::message& request) {
  CommandScope scope(*this, request);
  if (rows_.size() >= MAX_ROWS) {
    scope.reply = kv::failedMsg("table full");
    return;
  }
  std::unique_ptr<Object> row = createRow();
  if (!row) {
    scope.reply = kv::errorMsg(kv::ERR_NOT_SUPPORTED, "");
    return;
  }
  row->readFrom(request);
  row->id = Object::NO_ID;
  scope.reply = checkAdd(*row);
  if (!scope.reply.empty()) return;
  const uint32_t id = add(std::move(row), true);
  if (id == Object::NO_ID) {
    scope.reply = kv::failedMsg("no free object id");
    return;
  }
  scope.reply.set(kv::OBJECT_ID_FIELD, id);
}

// The edit is made on a copy, checked, and then copied into the stored row,
// so the row keeps its address.
void AMap::cmdSetObj(kv::message& request) {
  Object* existing = requestedRow(request);
  if (!existing) return;
  const uint32_t id = existing->id;
  CommandScope scope(*this, request);
  std::unique_ptr<Object> edited = createRow();
  std::unique_ptr<Object> before = createRow();
  if (!edited || !before) {
    scope.reply = kv::errorMsg(kv::ERR_NOT_SUPPORTED, "");
    return;
  }
  copyRow(*edited, *existing);
  edited->readFrom(request);
  edited->id = id;
  scope.reply = checkSet(*existing, *edited);
  if (!scope.reply.empty()) return;
  existing = findRow(id);  // the check may have removed it
  if (!existing) {
    scope.reply = kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no such object");
    return;
  }
  copyRow(*before, *existing);
  copyRow(*existing, *edited);
  existing->id = id;
  if (!storeChanged(*existing, std::move(before))) rowChanged(*existing);
}

void AMap::cmdRemoveObj(kv::message& request) {
  Object* row = requestedRow(request);
  if (!row) return;
  const uint32_t id = row->id;
  CommandScope scope(*this, request);
  scope.reply = checkRemove(*row);
  if (!scope.reply.empty()) return;
  // The check may have removed rows, this one included.
  AMapIterator it = find(id);
  if (it != end()) remove(it);
}

void AMap::cmdGetCount(kv::message& request) {
  if (deferRead(request, &AMap::cmdGetCount)) return;
  kv::message reply;
  reply.set(kv::COUNT_FIELD, static_cast<uint32_t>(rows_.size()));
  replyMessage(request, reply);
}
