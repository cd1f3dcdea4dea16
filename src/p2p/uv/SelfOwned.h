// A request that owns itself until its completion: the one named special case of the lifetime
// rule (p2p/uv/UvLoop.h).
//
// Such a request is made with new, and nothing owns it while it is in flight; an owner that must
// cancel the requests it started when it goes keeps them in a registry and deletes those left.
// The completion that ends the request takes it back with owned(), and the object is freed when
// that pointer goes, after the report. This is the only way besides deleteSoon for an object to
// end inside a call of its own, and it holds only when nothing on the stack uses the object
// after its completion: whatever reported to it (libuv, or a wrapper that touches nothing once
// its report has returned) has let go of it. An object that ends inside any other callback of
// its own goes with UvLoop::deleteSoon.
//
//   void Lookup::onDone(uv_fs_t* fs) {
//     std::unique_ptr<Lookup> self = static_cast<Lookup*>(fs->data)->owned();
//     self->report();  // freed when `self` goes
//   }
//
// A step that puts the object's next request in flight runs through startNext(): when the start
// throws, no completion will ever come to free the object, so it is freed there and the
// exception goes on.
#pragma once

#include <memory>
#include <utility>

namespace p2p {

template <class T>
class SelfOwned {
 protected:
  SelfOwned() = default;
  SelfOwned(const SelfOwned&) = default;
  SelfOwned& operator=(const SelfOwned&) = default;
  ~SelfOwned() = default;

  // The request's hold on itself, for the completion that ends it.
  std::unique_ptr<T> owned() { return std::unique_ptr<T>(static_cast<T*>(this)); }

  template <class Start>
  void startNext(Start&& start) {
    std::unique_ptr<T> self = owned();
    std::forward<Start>(start)();
    self.release();  // held by the request now in flight, or by the caller that ends it next
  }
};

}  // namespace p2p
