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
// Storing (persist = 1): init() loads the rows, and every change reaches
// the store before it is acknowledged (commit_group.h). A change is applied
// in memory at once and queued as a journal record (journal.h); the changes
// made in one loop turn are appended to the table's journal and synced
// together on the next turn, and only then are the replies of the commands
// that made them sent. A command whose change cannot be stored is undone
// and answered with a failure naming the cause. The journal is folded into
// a rewrite of the whole rows file once it holds more than
// max(JOURNAL_COMPACT_BYTES, the rows file's size), and the rows file is
// also rewritten after markChanged() (the changed row is not known) and
// after a failed write. A failed write is logged once and retried every
// SAVE_RETRY_SECONDS, at the next change and at flush(). What is pending is
// written synchronously by flush() and when the table is destroyed (the
// loop may be gone by then).
// `saveIntervalSeconds` is accepted for source compatibility and not used:
// no change waits longer than one loop turn.
// persist = 0: the rows live in memory only; init() and saves do nothing.
// A table class whose storesRows() answers false is memory-only in the same
// way, whatever its constructor was given: its changes cost no disk writes.
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
#include <set>
#include <string>

#include "platform/allocator.h"
#include "platform/commit_group.h"
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
  // Journal bytes below which the rows file is never rewritten to fold the
  // journal in (above it: when the journal outgrows the rows file).
  static constexpr uint64_t JOURNAL_COMPACT_BYTES = 64 * 1024;

  // `storePath` is the store path of the rows; see the file comment for
  // `persist` and `saveIntervalSeconds`.
  AMap(const std::string& storePath, int persist, int saveIntervalSeconds);
  // Writes what is pending (synchronously).
  ~AMap() override;

  // Loads the stored rows: the rows file, then the journal replayed over
  // it. REQUIRES: called once, before any add. A damaged store is logged and
  // set aside, and a good file holding what could be read is written at
  // once; the result is then Malformed. A torn journal tail is dropped with
  // a log line, and the rows file is rewritten at once too.
  kv::Status init();

  // Adds `row` (taking ownership) under a new id, which is returned
  // (Object::NO_ID, and the row dropped, only when every id is taken or the
  // row is null). `notify` calls rowAdded: at once, or, while a table
  // command is handled, once the command's changes are stored. The change
  // is stored on the next loop turn.
  uint32_t add(std::unique_ptr<Object> row, bool notify);
  // Removes the row at `it`, calls rowRemoved and destroys the row (while a
  // table command is handled: once the command's changes are stored);
  // returns the iterator of the row that followed it. The change is stored
  // on the next loop turn.
  // REQUIRES: `it` is a row of this table; end() is ignored.
  AMapIterator remove(AMapIterator it);
  // Removes the first row as remove() does, rowRemoved included, but hands
  // it back instead of destroying it, so that a table that drops its oldest
  // row for each new one can reuse the row and its buffers. Null when the
  // table is empty, or when a table command is handled (its commit then
  // owns the row).
  std::unique_ptr<Object> takeFirst();
  // The row with `id`, or end() / null. A row added by a table command is
  // found by id only once its add is stored: its requester learns the id
  // from the reply, and nothing may keep a pointer to a row whose add may
  // still be undone. Walks (begin, end) see it at once.
  AMapIterator find(uint32_t id);
  Object* findRow(uint32_t id) const;
  AMapIterator begin() { return AMapIterator(rows_.begin()); }
  AMapIterator end() { return AMapIterator(rows_.end()); }
  size_t size() const { return rows_.size(); }

  // Call after changing a row's fields directly (not through a command):
  // the whole rows file is written on the next loop turn.
  void markChanged();
  // Stores what is pending now (every table's: one group commit); ok when
  // nothing of this table is left unstored.
  kv::Status flush();
  // Successful writes (journal appends and rows files) since construction.
  uint64_t saveCount() const { return saveCount_; }
  // Something is not stored yet.
  bool dirty() const { return !journal_.empty() || rewriteDue_; }
  // Bytes and syncs written for this table since construction.
  const kv::StoreStats& storeStats() const { return store_.stats(); }

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
  // rows file is written again at once as the table now is. Default: keep
  // every row.
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
  friend class kv::CommitGroup;

  // True when the row was repaired or left out.
  bool loadRow(uint32_t id, const kv::message& stored);
  // Queue the journal record of a change. They return true when the
  // change belongs to a command being handled, which then owns the row's
  // notification (and, for a removal, the row).
  bool storeAdded(Object& row, bool notify);
  bool storeChanged(Object& row, std::unique_ptr<Object> before);
  bool storeRemoved(std::unique_ptr<Object>& row);
  std::unique_ptr<Object> takeOut(AMapIterator it);
  bool journalPut(const Object& row);
  void rewriteRows();

  // ---- For the commit group ----
  // Writes the queued records (or the whole rows file); logs a failure
  // once and arms the retry.
  kv::Status commitRows();
  kv::Status writeRows();
  void undoChange(kv::TableChange& change);
  void confirmChange(kv::TableChange& change);

  // The row named by the request's OBJECT_ID_FIELD; replies and returns
  // null when there is none.
  Object* requestedRow(kv::message& request);
  // The message form of `row` as the sender of `request` may see it.
  kv::message rowMessageFor(const Object& row, const kv::message& request) const;
  // Queues a read command while changes wait for their commit.
  bool deferRead(kv::message& request, void (AMap::*read)(kv::message&));

  kv::TableStore store_;
  const bool persist_;
  std::map<uint32_t, std::unique_ptr<Object>> rows_;
  // The node of the last removed row, reused by the next add.
  std::map<uint32_t, std::unique_ptr<Object>>::node_type spareNode_;
  kv::Allocator allocator_;
  std::string journal_;        // records of changes not stored yet
  std::set<uint32_t> unstoredAdds_;  // rows added by commands waiting for their commit
  bool rewriteDue_ = false;    // the next commit writes the whole rows file
  bool commitFailing_ = false; // the last write failed (and was logged)
  kv::Status lastCommit_;
  uint64_t saveCount_ = 0;
  kv::Timer retryTimer_;
};
