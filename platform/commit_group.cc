#include "platform/commit_group.h"

#include <algorithm>
#include <utility>

#include "platform/amap.h"
#include "platform/handler.h"
#include "platform/looper.h"
#include "platform/system.h"

namespace kv {

CommitGroup& CommitGroup::instance() {
  static CommitGroup* const group = new CommitGroup;  // never destroyed: see the header
  return *group;
}

void CommitGroup::tableChanged(AMap& table) {
  if (!open_.empty()) open_.back()->tables.insert(&table);
  if (std::find(tables_.begin(), tables_.end(), &table) == tables_.end()) tables_.push_back(&table);
  arm();
}

void CommitGroup::arm() {
  ThinRunner& runner = getRunner();
  // A timer armed before the loop existed sits on a runner that never runs.
  if (timer_.pending() && timerRunner_ == &runner) return;
  timerRunner_ = &runner;
  timer_ = Timer(runner, 0, [this] { commit(); });
}

void CommitGroup::addChange(TableChange change) { open_.back()->changes.push_back(std::move(change)); }

void CommitGroup::beginCommand() { open_.push_back(std::make_unique<Command>()); }

void CommitGroup::endCommand(Handler& handler, const message& request, const message& reply) {
  std::unique_ptr<Command> command = std::move(open_.back());
  open_.pop_back();
  if (command->tables.empty()) return handler.replyMessage(request, reply);
  command->handler = &handler;
  command->request = request;
  command->reply = reply;
  waiting_.push_back(std::move(command));
}

bool CommitGroup::deferRead(AMap& table, std::function<void()> read) {
  // A read made from inside a command (a check asking its own table) is
  // served at once: the commit cannot run before the command ends.
  if (waiting_.empty() || !open_.empty()) return false;
  reads_.push_back(DeferredRead{&table, std::move(read)});
  return true;
}

void CommitGroup::commit() {
  timer_.cancel();
  if (!open_.empty()) return arm();
  std::set<AMap*> failed;  // tables whose memory is not what they store
  std::string cause;
  for (const auto& result : storeTables()) {
    if (result.second.isOk()) continue;
    failed.insert(result.first);
    if (cause.empty()) cause = "not stored: " + result.second.message();
  }
  const std::set<AMap*> unwritten = failed;
  std::vector<std::unique_ptr<Command>> commands;
  commands.swap(waiting_);
  const std::vector<bool> undone = commandsToUndo(commands, failed);
  for (size_t i = commands.size(); i-- > 0;) {
    if (undone[i]) undo(*commands[i]);
  }
  // Tables that were stored but hold records of an undone command are
  // written again whole: memory is right.
  for (AMap* table : failed) {
    if (!unwritten.count(table) && table != going_) table->rewriteRows();
  }
  storeTables();
  if (tables_.empty()) timer_.cancel();
  for (size_t i = 0; i < commands.size(); ++i) settle(*commands[i], undone[i] ? cause : std::string());
  // A table being destroyed cannot answer as its class would (it could
  // not hide what a reader must not see): its reads go unanswered.
  std::vector<DeferredRead> reads;
  reads.swap(reads_);
  for (DeferredRead& read : reads) {
    if (read.table != going_) read.read();
  }
}

std::vector<std::pair<AMap*, Status>> CommitGroup::storeTables() {
  std::vector<AMap*> tables;
  tables.swap(tables_);
  std::vector<std::pair<AMap*, Status>> results;
  for (AMap* table : tables) results.emplace_back(table, table->commitRows());
  return results;
}

// A command that changed a table in `failed` is undone. Undoing it may
// take back rows that a later command of the same table built on, so its
// tables count as failed too, until no more commands join.
std::vector<bool> CommitGroup::commandsToUndo(const std::vector<std::unique_ptr<Command>>& commands,
                                              std::set<AMap*>& failed) {
  std::vector<bool> undone(commands.size(), false);
  for (bool grew = !failed.empty(); grew;) {
    grew = false;
    for (size_t i = 0; i < commands.size(); ++i) {
      const std::set<AMap*>& tables = commands[i]->tables;
      if (undone[i] || std::none_of(tables.begin(), tables.end(),
                                    [&](AMap* t) { return failed.count(t) != 0; })) {
        continue;
      }
      undone[i] = grew = true;
      failed.insert(tables.begin(), tables.end());
    }
  }
  return undone;
}

void CommitGroup::undo(Command& command) {
  for (auto change = command.changes.rbegin(); change != command.changes.rend(); ++change) {
    if (change->table != going_) change->table->undoChange(*change);
  }
}

// Notifications, then the reply; an undone command's success becomes the
// failure, a refusal stays what it was.
void CommitGroup::settle(Command& command, const std::string& failure) {
  if (failure.empty()) {
    for (TableChange& change : command.changes) {
      if (change.table != going_) change.table->confirmChange(change);
    }
  }
  const bool refused = isError(command.reply);
  command.handler->replyMessage(command.request,
                                failure.empty() || refused ? command.reply : failedMsg(failure));
}

void CommitGroup::tableGoing(AMap& table) {
  going_ = &table;
  if (table.dirty() || !waiting_.empty() || !reads_.empty()) commit();
  going_ = nullptr;
  // What could not be settled (a command is being handled) forgets it.
  tables_.erase(std::remove(tables_.begin(), tables_.end(), &table), tables_.end());
  reads_.erase(std::remove_if(reads_.begin(), reads_.end(),
                              [&](const DeferredRead& r) { return r.table == &table; }),
               reads_.end());
  waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                [&](const std::unique_ptr<Command>& c) { return c->handler == &table; }),
                 waiting_.end());
  for (auto* list : {&open_, &waiting_}) {
    for (auto& command : *list) {
      command->tables.erase(&table);
      auto& changes = command->changes;
      changes.erase(std::remove_if(changes.begin(), changes.end(),
                                   [&](const TableChange& c) { return c.table == &table; }),
                    changes.end());
    }
  }
}

}  // namespace kv
