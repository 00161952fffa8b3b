// kv::CommitGroup: the group commit of the tables that store their rows.
// Internal to the platform: AMap uses it; nothing else needs to.
//
// Every change to such a table is applied in memory at once and queued as a
// journal record by its table; the first change after a commit arms one
// zero-delay timer. That timer runs on the loop turn after the change, when
// the bus has delivered everything that arrived in the turn, so all the
// changes of one inbox drain are stored together: one append and one
// fdatasync per table (AMap::commitRows).
//
// A table command (add, set, remove) is handled as a unit: the changes it
// makes, in its own table and in others (a removal check that removes rows
// elsewhere), are collected with what is needed to undo them, their
// notifications (rowAdded, rowChanged, rowRemoved) wait, and so does its
// reply. At the commit:
//   - a command whose tables were all stored gets its notifications and
//     then its reply, in the order the commands were handled;
//   - a command that touched a table whose write failed is undone in
//     memory, newest change first (an added row taken out, a changed row
//     given its old fields, a removed row put back: the same object, so its
//     address is kept), and a success reply becomes a failure naming the
//     cause; a refusal is sent unchanged. Undoing may take back rows that a
//     later command built on, so every command that shares a table with an
//     undone one is undone too. A table that was stored but holds records
//     of an undone command is written again whole, so that the disk
//     matches memory.
// Reads (get one, get all, count) that arrive while commands wait for a
// commit are answered after it, so no reply shows a change that is not
// stored.
//
// The service's own changes (AMap::add, AMap::remove outside a command) have
// no reply to hold and no undo: they are stored by the same commit, and if
// the write fails they stay in memory and the table is written whole at its
// next retry.
//
// One group per process, never destroyed (tables are static objects of the
// service and are destroyed at exit in an order the group cannot know).
// Single-threaded: everything runs on the event-loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "platform/message.h"
#include "platform/runner.h"
#include "platform/status.h"

class AMap;
class Object;

namespace kv {

class Handler;

// One change made by a command to a table that stores its rows, kept until
// the commit decides whether it stays.
struct TableChange {
  enum class Kind { Added, Changed, Removed };
  AMap* table = nullptr;
  Kind kind = Kind::Added;
  uint32_t id = 0;
  bool notify = false;          // Added: call rowAdded once stored
  std::unique_ptr<Object> row;  // Changed: the row before; Removed: the row itself
};

class CommitGroup {
 public:
  static CommitGroup& instance();

  // `table` has something to store: it is committed on the next loop turn.
  // A command being handled now waits for it.
  void tableChanged(AMap& table);
  // Whether a command is being handled; its changes go to addChange.
  bool inCommand() const { return !open_.empty(); }
  // REQUIRES: inCommand().
  void addChange(TableChange change);

  // A table command starts; endCommand, called exactly once, ends it and
  // answers `request` through `handler` with `reply`: at once when the
  // command stored nothing, else after the commit.
  void beginCommand();
  void endCommand(Handler& handler, const message& request, const message& reply);

  // While commands wait for a commit, queues `read` (a read command of
  // `table`) to run after it and returns true; otherwise returns false.
  bool deferRead(AMap& table, std::function<void()> read);

  // Stores every table's pending changes now and settles every waiting
  // command. Does nothing while a command is being handled (it runs on a
  // later turn).
  void commit();
  // `table` is being destroyed (its own class part is gone already): its
  // pending changes are stored now, and nothing refers to it afterwards.
  void tableGoing(AMap& table);

 private:
  struct Command {
    std::vector<TableChange> changes;
    std::set<AMap*> tables;  // the stored tables it changed
    Handler* handler = nullptr;
    message request, reply;
  };
  struct DeferredRead {
    AMap* table;
    std::function<void()> read;
  };

  CommitGroup() = default;
  void arm();
  std::vector<std::pair<AMap*, Status>> storeTables();
  static std::vector<bool> commandsToUndo(const std::vector<std::unique_ptr<Command>>& commands,
                                          std::set<AMap*>& failed);
  void undo(Command& command);
  void settle(Command& command, const std::string& failure);

  std::vector<AMap*> tables_;  // with something to store, in order of first change
  std::vector<std::unique_ptr<Command>> open_;     // being handled (innermost last)
  std::vector<std::unique_ptr<Command>> waiting_;  // handled, waiting for the commit
  std::vector<DeferredRead> reads_;
  AMap* going_ = nullptr;  // being destroyed: no calls into its class
  ThinRunner* timerRunner_ = nullptr;
  Timer timer_;
};

}  // namespace kv
