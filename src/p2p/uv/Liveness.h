// The one answer to "am I still alive after this call?", for code that calls out into an owner
// or a listener that may end it, and for completions that may arrive after their receiver has
// gone.
//
//   class Stream {
//     Liveness liveness;
//     void deliver() {
//       Liveness::Watch watch = liveness.watch();
//       owner->handle_recv(data);          // may end this stream
//       if (!watch.alive()) return;        // touch nothing of *this any more
//       ...
//     }
//   };
//
// A receiver that must be told apart from a later object at the same address keeps a
// Liveness::Ref<T>: it reads null once the object has been destroyed.
//
// Together with UvLoop::deleteSoon and UvLoop::post this is the whole lifetime kit (the rule is
// stated in p2p/uv/UvLoop.h): an object is ended by deleteSoon (a later loop turn), work for
// the next turn is posted, and code that called out checks its watch before going on. A request
// that owns itself until its completion (p2p/uv/SelfOwned.h) is the kit's one named special
// case. Loop thread only.
#pragma once

#include <memory>

namespace p2p {

class Liveness {
 public:
  Liveness() = default;
  // A copy is another object with a life of its own.
  Liveness(const Liveness&) {}
  Liveness& operator=(const Liveness&) { return *this; }
  ~Liveness() = default;

  class Watch {
   public:
    Watch() = default;
    bool alive() const { return !_flag.expired(); }

   private:
    friend class Liveness;
    explicit Watch(std::weak_ptr<const char> flag) : _flag(std::move(flag)) {}
    std::weak_ptr<const char> _flag;
  };

  // A pointer to an object holding a Liveness, null once that object is gone.
  template <class T>
  class Ref {
   public:
    Ref() = default;
    Ref(T* object, const Liveness& liveness) : _object(object), _watch(liveness.watch()) {}
    T* get() const { return _watch.alive() ? _object : nullptr; }
    explicit operator bool() const { return get() != nullptr; }

   private:
    T* _object = nullptr;
    Watch _watch;
  };

  Watch watch() const { return Watch(_flag); }

 private:
  std::shared_ptr<const char> _flag = std::make_shared<const char>(0);
};

}  // namespace p2p
