#include "platform/amap.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/looper.h"
#include "platform/message_codec.h"
#include "platform/system.h"

static_assert(Object::NO_ID == kv::Allocator::NONE, "one 'no id' value for rows and ids");

AMap::AMap(const std::string& storePath, int persist, int saveIntervalSeconds)
    : store_(storePath), persist_(persist != 0), saveIntervalSeconds_(saveIntervalSeconds) {}

AMap::~AMap() {
  if (dirty_) saveNow();
}

kv::Status AMap::init() {
  if (!storesRows()) return kv::Status::ok();
  bool corrected = false;
  kv::StoreLoadReport report = store_.load(
      [this, &corrected](uint32_t id, const kv::message& row) { corrected |= loadRow(id, row); });
  if (corrected && !report.damaged) markChanged();
  if (!report.damaged) return kv::Status::ok();
  // Replace the set-aside file by one that holds what could be read.
  dirty_ = true;
  saveNow();
  return kv::Status::malformed(store_.rowsPath() + ": " + report.problem + " at byte " +
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
  rows_.emplace(id, std::move(row));
  scheduleSave();
  if (notify) rowAdded(added);
  return id;
}

AMapIterator AMap::remove(AMapIterator it) {
  if (it == end()) return end();
  const uint32_t id = it.base()->first;
  std::unique_ptr<Object> row = std::move(it.base()->second);
  rows_.erase(it.base());
  allocator_.free(id);
  scheduleSave();
  rowRemoved(*row);
  row.reset();
  // Looked up after the notification, which may have removed more rows.
  return AMapIterator(rows_.upper_bound(id));
}

AMapIterator AMap::find(uint32_t id) { return AMapIterator(rows_.find(id)); }

Object* AMap::findRow(uint32_t id) const {
  auto it = rows_.find(id);
  return it == rows_.end() ? nullptr : it->second.get();
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

// ---- Saving ----------------------------------------------------------------

void AMap::markChanged() { scheduleSave(); }

kv::Status AMap::flush() { return saveNow(); }

void AMap::scheduleSave() {
  if (!storesRows()) return;
  dirty_ = true;
  // A timer armed before the loop existed sits on a runner that never runs.
  if (saveTimer_.pending() && saveRunner_ == &kv::getRunner()) return;
  armSaveTimer(saveDelayTicks());
}

void AMap::armSaveTimer(kv::Ticks delayTicks) {
  saveRunner_ = &kv::getRunner();
  saveTimer_ = kv::Timer(*saveRunner_, delayTicks, [this] { saveNow(); });
}

kv::Ticks AMap::saveDelayTicks() const {
  kv::ThinRunner& runner = kv::getRunner();
  const kv::Ticks tps = runner.clock().ticksPerSecond();
  if (saveIntervalSeconds_ > 0) return kv::Ticks(saveIntervalSeconds_) * tps;
  if (saveIntervalSeconds_ == 0 || !savedOnce_) return 0;
  const kv::Ticks gap = kv::Ticks(-int64_t{saveIntervalSeconds_}) * tps;
  const kv::Ticks due = lastSaveTick_ + gap;
  const kv::Ticks now = runner.now();
  // Capped at one gap, in case the last save was timed by another clock.
  return due <= now ? 0 : std::min(due - now, gap);
}

kv::Status AMap::saveNow() {
  saveTimer_.cancel();
  if (!persist_ || !dirty_) return kv::Status::ok();
  kv::Status st = writeRows();
  savedOnce_ = true;
  lastSaveTick_ = kv::getRunner().now();
  if (st.isOk()) {
    dirty_ = false;
    ++saveCount_;
    if (saveFailing_) kv::storeLog(kv::LOG_LEVEL_INFO, "store: " + storePath() + ": saved again");
    saveFailing_ = false;
    return st;
  }
  if (!saveFailing_) {
    kv::storeLog(kv::LOG_LEVEL_ERROR, "store: " + storePath() + ": save failed (" + st.message() +
                                          "); retrying every " +
                                          std::to_string(SAVE_RETRY_SECONDS) + " s");
  }
  saveFailing_ = true;
  armSaveTimer(SAVE_RETRY_SECONDS * kv::Ticks(kv::getRunner().clock().ticksPerSecond()));
  return st;
}

// One save of every row. A row that cannot be stored (too large) is left
// out with a log line rather than failing the save of all the others.
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

// ---- Generic table commands ------------------------------------------------

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

void AMap::cmdGetObj(kv::message& request) {
  if (Object* row = requestedRow(request)) replyMessage(request, rowMessageFor(*row, request));
}

void AMap::cmdGetAll(kv::message& request) {
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
  if (rows_.size() >= MAX_ROWS) return replyMessage(request, kv::failedMsg("table full"));
  std::unique_ptr<Object> row = createRow();
  if (!row) return replyMessage(request, kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""));
  row->readFrom(request);
  row->id = Object::NO_ID;
  kv::message refusal = checkAdd(*row);
  if (!refusal.empty()) return replyMessage(request, refusal);
  const uint32_t id = add(std::move(row), true);
  if (id == Object::NO_ID) return replyMessage(request, kv::failedMsg("no free object id"));
  kv::message reply;
  reply.set(kv::OBJECT_ID_FIELD, id);
  replyMessage(request, reply);
}

// The edit is made on a copy, checked, and then copied into the stored row,
// so the row keeps its address.
void AMap::cmdSetObj(kv::message& request) {
  Object* existing = requestedRow(request);
  if (!existing) return;
  const uint32_t id = existing->id;
  std::unique_ptr<Object> edited = createRow();
  if (!edited) return replyMessage(request, kv::errorMsg(kv::ERR_NOT_SUPPORTED, ""));
  copyRow(*edited, *existing);
  edited->readFrom(request);
  edited->id = id;
  kv::message refusal = checkSet(*existing, *edited);
  if (!refusal.empty()) return replyMessage(request, refusal);
  existing = findRow(id);  // the check may have removed it
  if (!existing) return replyMessage(request, kv::errorMsg(kv::ERR_NO_SUCH_OBJECT, "no such object"));
  copyRow(*existing, *edited);
  existing->id = id;
  scheduleSave();
  rowChanged(*existing);
  replyMessage(request, kv::message());
}

void AMap::cmdRemoveObj(kv::message& request) {
  Object* row = requestedRow(request);
  if (!row) return;
  const uint32_t id = row->id;
  kv::message refusal = checkRemove(*row);
  if (!refusal.empty()) return replyMessage(request, refusal);
  // The check may have removed rows, this one included.
  AMapIterator it = find(id);
  if (it != end()) remove(it);
  replyMessage(request, kv::message());
}

void AMap::cmdGetCount(kv::message& request) {
  kv::message reply;
  reply.set(kv::COUNT_FIELD, static_cast<uint32_t>(rows_.size()));
  replyMessage(request, reply);
}
