// AMap: an object table. It owns its rows, keeps them in object-id order,
// persists them in the table store (store.h) and serves the generic table
// commands on the bus.
//
// A table class derives from AMap and supplies the row operations
// (createRow, copyRow) and, when it needs them, the checks consulted before
// a requester's add, set or remove and the change notifications. The checks
// guard the bus commands only: the service's own add() and remove() calls
// do not pass through them.
//
// Rows: add() takes ownership and assigns the id (kv::Allocator: increasing,
// never an id in use). A row keeps its address for as long as it is in the
// table, also across a set command (the edit is copied into it), so other
// code may keep plain pointers to rows. remove() destroys the row.
//
// Saving (persist = 1): every change marks the table dirty and arms one save
// timer on the loop (kv::Timer, in clock ticks of the runner's clock). What
// `saveIntervalSeconds` means:
//   -N  save on the next loop turn after a change, but no sooner than N
//       seconds after the previous save: a burst of changes costs one
//       write, and there is at most one write every N seconds;
//    0  save on the next loop turn after a change;
//   +N  save N seconds after the first unsaved change.
// A pending save is written synchronously by flush() and when the table is
// destroyed (the loop may be gone by then). A failed save is logged once,
// kept pending and retried SAVE_RETRY_SECONDS later (or on flush()).
// persist = 0: the rows live in memory only; init() and saves do nothing.
// A table class whose storesRows() answers false is memory-only in the same
// way, whatever its constructor was given.
//
// Generic commands served (reply fields in system.h; details in
// docs/tables.md):
//   CMD_GET_OBJ     OBJECT_ID_FIELD -> id + row fields
//   CMD_GET_ALL     [AFTER_ID_FIELD] -> ROWS_FIELD (pages of about
//                   GET_ALL_PAGE_BYTES, at least one row), MORE_FIELD
//   CMD_ADD_OBJ     row fields -> OBJECT_ID_FIELD
//   CMD_SET_OBJ     OBJECT_ID_FIELD + changed fields -> empty
//   CMD_REMOVE_OBJ  OBJECT_ID_FIELD -> empty
//   CMD_GET_COUNT   -> COUNT_FIELD
// Everything else is the base Handler's (unsupported table commands answer
// ERR_NOT_SUPPORTED).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "platform/allocator.h"
#include "platform/handler.h"
#include "platform/object.h"
#include "platform/runner.h"
#include "platform/store.h"

// Walks the rows of an AMap in object-id order. Stays valid while other
// rows are added or removed; remove() returns the iterator that follows.
class AMapIterator {
 public:
  using Base = std::map<uint32_t, std::unique_ptr<Object>>::iterator;
  using iterator_category = std::forward_iterator_tag;
  using value_type = Object;
  using difference_type = std::ptrdiff_t;
  using pointer = Object*;
  using reference = Object&;

  AMapIterator() = default;
  explicit AMapIterator(Base it) : it_(it) {}

  Object& operator*() const { return *it_->second; }
  Object* operator->() const { return it_->second.get(); }
  AMapIterator& operator++() {
    ++it_;
    return *this;
  }
  AMapIterator operator++(int) {
    AMapIterator before = *this;
    ++it_;
    return before;
  }
  bool operator==(const AMapIterator& o) const { return it_ == o.it_; }
  bool operator!=(const AMapIterator& o) const { return it_ != o.it_; }
  Base base() const { return it_; }

 private:
  Base it_;
};

class AMap : public kv::Handler {
 public:
  // Encoded row bytes after which a get-all page stops.
  static constexpr size_t GET_ALL_PAGE_BYTES = 1024 * 1024;
  // Rows a table accepts through the add command.
  static constexpr size_t MAX_ROWS = 65536;
  static constexpr uint32_t SAVE_RETRY_SECONDS = 30;

  // `storePath` is the store path of the rows; see the file comment for
  // `persist` and `saveIntervalSeconds`.
  AMap(const std::string& storePath, int persist, int saveIntervalSeconds);
  // Writes a pending save (synchronously).
  ~AMap() override;

  // Loads the stored rows. REQUIRES: called once, before any add. A damaged
  // store is logged and set aside, and a good file holding the rows that
  // could be read is written at once; the result is then Malformed.
  kv::Status init();

  // Adds `row` (taking ownership) under a new id, which is returned
  // (Object::NO_ID, and the row dropped, only when every id is taken or the
  // row is null). `notify` calls rowAdded. Schedules a save.
  uint32_t add(std::unique_ptr<Object> row, bool notify);
  // Removes and destroys the row at `it` after calling rowRemoved; returns
  // the iterator of the row that followed it. Schedules a save.
  // REQUIRES: `it` is a row of this table; end() is ignored.
  AMapIterator remove(AMapIterator it);
  // The row with `id`, or end().
  AMapIterator find(uint32_t id);
  // The row with `id`, or null.
  Object* findRow(uint32_t id) const;
  AMapIterator begin() { return AMapIterator(rows_.begin()); }
  AMapIterator end() { return AMapIterator(rows_.end()); }
  size_t size() const { return rows_.size(); }

  // Call after changing a row's fields directly (not through a command):
  // schedules a save.
  void markChanged();
  // Writes a pending save now; ok when nothing is left unsaved.
  kv::Status flush();
  // Saves written successfully since construction.
  uint64_t saveCount() const { return saveCount_; }
  bool dirty() const { return dirty_; }

  const std::string& storePath() const { return store_.storePath(); }
  kv::Allocator& allocator() { return allocator_; }

  // ---- Row operations of the table class ----
  // A new row with its default values and id Object::NO_ID.
  virtual std::unique_ptr<Object> createRow() = 0;
  // Copies the id and every field of `src` into `dst` (same row class).
  virtual void copyRow(Object& dst, const Object& src) = 0;

  // ---- Checks: an empty reply allows; anything else refuses and is the
  // requester's reply, unchanged. Default: allow.
  virtual kv::message checkAdd(Object& row);
  virtual kv::message checkSet(Object& existing, Object& edited);
  // May remove rows, of other tables or of this one (this row included).
  virtual kv::message checkRemove(Object& row);

  // ---- Rows loaded from the store ----
  // A stored row is trusted no more than one that arrives on the bus: each
  // one, read with readFrom and given its stored id, is offered here before
  // it joins the table (the rows loaded before it are in the table). The
  // table class may keep it as it is, repair it in place or drop it, and
  // logs what it did. After a load that repaired or dropped a row, the
  // table is saved as it now is. Default: keep every row.
  enum class LoadedRow { Keep, Repaired, Drop };
  virtual LoadedRow checkLoaded(Object& row);

  // ---- Notifications after a change. Default: nothing. ----
  virtual void rowAdded(Object& row);
  virtual void rowChanged(Object& row);
  // The row is out of the table and destroyed right after the call.
  virtual void rowRemoved(Object& row);

  // ---- Generic table commands ----
  void cmdGetObj(kv::message& request) override;
  void cmdSetObj(kv::message& request) override;
  void cmdGetAll(kv::message& request) override;
  void cmdAddObj(kv::message& request) override;
  void cmdRemoveObj(kv::message& request) override;
  void cmdGetCount(kv::message& request) override;

 protected:
  // The message form of a row: OBJECT_ID_FIELD, then the row's fields.
  static kv::message rowMessage(const Object& row);
  // Takes out of a row's message form what a requester without write
  // permission must not see (get-obj and get-all replies). Default: nothing.
  virtual void hideFromReader(kv::message& /*row*/) const {}
  // Whether init() loads the stored rows and changes are saved. Default:
  // the constructor's `persist`. Consulted only while the table is fully
  // constructed (a memory-only table never becomes dirty, so the
  // destructor's save has nothing to write).
  virtual bool storesRows() const { return persist_; }

 private:
  void scheduleSave();
  void armSaveTimer(kv::Ticks delayTicks);
  kv::Ticks saveDelayTicks() const;
  kv::Status saveNow();
  kv::Status writeRows();
  // True when the row was repaired or left out.
  bool loadRow(uint32_t id, const kv::message& stored);
  // The row named by the request's OBJECT_ID_FIELD; replies and returns
  // null when there is none.
  Object* requestedRow(kv::message& request);
  // The message form of `row` as the sender of `request` may see it.
  kv::message rowMessageFor(const Object& row, const kv::message& request) const;

  kv::TableStore store_;
  const bool persist_;
  const int saveIntervalSeconds_;
  std::map<uint32_t, std::unique_ptr<Object>> rows_;
  kv::Allocator allocator_;
  bool dirty_ = false;
  bool saveFailing_ = false;  // the last save failed (and was logged)
  bool savedOnce_ = false;
  kv::Ticks lastSaveTick_ = 0;
  uint64_t saveCount_ = 0;
  kv::ThinRunner* saveRunner_ = nullptr;  // where saveTimer_ was armed
  kv::Timer saveTimer_;
};
