#pragma once

#include "p2p/messages/Message.h"

namespace p2p {

// A received prefix: every byte after it is the inner message XORed with `key`
// (see xorBuffer). Nothing here sends one.
class Codec : public FieldMessage<Codec> {
 public:
  static constexpr char name[] = "Codec";

  Codec() : FieldMessage(codec) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("key", m.key);
  }

  int8_t key = 0;
};

}  // namespace p2p
