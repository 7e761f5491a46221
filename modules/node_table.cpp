#include "modules/node_table.h"

NodeTable::NodeTable(const IPMI::Options& options)
    : store_(std::make_unique<Store<NodeRecord>>("nodes", true, false)) {
  for (NodeRecord* node = store_->begin(); node != store_->end(); ++node) {
    node->ipmi_val = 0;  // a handle from an earlier run means nothing now
    node->resetIPMI(options);
  }
}

NodeRecord* NodeTable::shared_begin() {
  rwlock.lock_shared();
  return store_->begin();
}

NodeRecord* NodeTable::exclusive_begin() {
  rwlock.lock();
  return store_->begin();
}

NodeRecord* NodeTable::end() { return store_->end(); }

size_t NodeTable::size() const { return store_->size(); }

void NodeTable::shared_finished() {
  if (rwlock.try_lock()) {
    rwlock.unlock();
    throw TRL_ERROR("lock should be unlocked");
  }
  rwlock.unlock_shared();
}

void NodeTable::exclusive_finished() {
  if (rwlock.try_lock()) {
    rwlock.unlock();
    throw TRL_ERROR("lock should be unlocked");
  }
  rwlock.unlock();
}

void NodeTable::close() {
  if (!store_) return;
  TRL_LOG("Destroying ipmi objects");
  for (NodeRecord* node = store_->begin(); node != store_->end(); ++node) {
    if (const std::shared_ptr<IPMI> session = node->ipmiShared()) session->forceUnlock();
    IpmiSessions::release(node->ipmi_val);
    node->ipmi_val = 0;
  }
  TRL_LOG("Destroying nodes");
  store_.reset();
}
