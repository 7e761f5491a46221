// The node table: the records in their persistent store (the file
// /var/lib/trellium/nodes.db) and the reader/writer lock that every other
// part takes to read or change them. Thread-safe through that lock: readers
// hold it shared, writers exclusively; the store itself has no lock.
#pragma once

#include <boost/thread/shared_mutex.hpp>
#include <cstddef>
#include <memory>

#include "modules/node.h"
#include "modules/store.h"

class NodeTable {
 public:
  // Opens the store; the session handles stored by an earlier run mean
  // nothing now, so every record gets its session afresh.
  explicit NodeTable(const IPMI::Options& options);
  ~NodeTable() { close(); }
  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;

  NodeRecord* shared_begin();
  NodeRecord* exclusive_begin();
  NodeRecord* end();
  size_t size() const;
  // Release the lock; both throw "lock should be unlocked" (and leave it
  // free) when the caller did not hold it.
  void shared_finished();
  void exclusive_finished();

  // The records' store; the caller holds the lock (exclusively to change it).
  Store<NodeRecord>& store() { return *store_; }
  // Forces the records to disk. Needs no lock: it syncs the file, whatever
  // the records hold at that moment.
  void commit() { store_->commit(); }
  // Lets go of every session and closes the store; the owner's threads
  // have stopped.
  void close();

 private:
  std::unique_ptr<Store<NodeRecord>> store_;
  mutable boost::shared_mutex rwlock;
};
