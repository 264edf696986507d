// SPDX-License-Identifier: MIT
// The output ring against a plain reference model: a queue of unread bytes per reader and the
// history of everything written. Every run's position and size, every byte read, the history a
// new reader gets and PushAll's all-or-nothing rule are checked after each random operation.
// (The input ring, one reader and no history, is proven by the keys of the end-to-end tests.)
#include "circular_byte_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

namespace {

// The i-th byte of the runs, in ring order.
uint8_t& ByteAt(const ByteSpans& spans, size_t i) {
  const size_t first = spans.count > 0 ? spans.parts[0].iov_len : 0;
  const iovec& part = i < first ? spans.parts[0] : spans.parts[1];
  return static_cast<uint8_t*>(part.iov_base)[i < first ? i : i - first];
}

// The runs must be the `size` bytes from `position` on, wrapping at the end of the array.
template <size_t SIZE>
::testing::AssertionResult RunsAre(const ByteSpans& spans, uint8_t* base, size_t position,
                                   size_t size) {
  const size_t first = std::min(size, SIZE - position);
  const bool right = spans.size == size && spans.count == (size == 0 ? 0 : first < size ? 2 : 1) &&
                     (size == 0 || (spans.parts[0].iov_base == base + position &&
                                    spans.parts[0].iov_len == first)) &&
                     (first == size || (spans.parts[1].iov_base == base &&
                                        spans.parts[1].iov_len == size - first));
  if (right) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << spans.size << " bytes, expected " << size << " from "
                                       << position;
}

// How many of `limit` bytes an operation moves: often all or none, otherwise any.
size_t DrawCount(std::mt19937_64& random, size_t limit) {
  const unsigned kind = random() % 4;
  return kind == 0 ? limit : kind == 1 ? 0 : random() % (limit + 1);
}

// Reads up to all of `span` and checks each byte against the front of `unread`; returns how
// many were read.
::testing::AssertionResult PopChecked(std::mt19937_64& random, const ByteSpans& span,
                                      std::deque<uint8_t>& unread, size_t* read) {
  *read = DrawCount(random, span.size);
  for (size_t i = 0; i < *read; ++i, unread.pop_front())
    if (ByteAt(span, i) != unread.front()) return ::testing::AssertionFailure() << "byte " << i;
  return ::testing::AssertionSuccess();
}

// One ring's life of `operations` random pushes, all-or-nothing pushes, pops, added and removed
// readers, in phases that fill the ring and phases that drain it.
template <size_t SIZE, size_t READERS>
void CheckOneMultiReaderRing(std::mt19937_64& random, size_t operations) {
  using Ring = MultiReaderCircularByteBuffer<SIZE, READERS>;
  Ring ring;
  uint8_t* const base = static_cast<uint8_t*>(ring.BeginPush().parts[0].iov_base);
  std::deque<uint8_t> history;  // the last SIZE bytes ever written
  std::vector<std::deque<uint8_t>> unread;
  std::vector<uint32_t> handles;  // the ring's handle of each reader in `unread`
  size_t total = 0;
  const auto written = [&](uint8_t byte) {
    history.push_back(byte);
    if (history.size() > SIZE) history.pop_front();
    for (auto& queue : unread) queue.push_back(byte);
    ++total;
  };
  unsigned push_weight = 3;
  for (size_t op = 0; op < operations; ++op) {
    if (op % 997 == 0) push_weight = 1 + random() % 5;
    const size_t wp = total % SIZE;
    size_t free_room = SIZE;  // what all readers together let the writer add
    for (const auto& queue : unread) free_room = std::min(free_room, SIZE - 1 - queue.size());
    const unsigned choice = random() % (push_weight + 5);
    if (choice < push_weight) {
      const ByteSpans room = ring.BeginPush();
      ASSERT_TRUE(RunsAre<SIZE>(room, base, wp, free_room)) << "op " << op;
      const size_t n = DrawCount(random, room.size);
      for (size_t i = 0; i < n; ++i) written(ByteAt(room, i) = static_cast<uint8_t>(random()));
      ring.EndPush(static_cast<int>(n));
    } else if (choice == push_weight) {
      std::vector<uint8_t> data(random() % 3 == 0 ? random() % (SIZE + 1) : random() % (SIZE / 8 + 1));
      for (auto& byte : data) byte = static_cast<uint8_t>(random());
      Ring before;
      std::memcpy(static_cast<void*>(&before), &ring, sizeof ring);
      const bool fits = data.size() <= free_room;
      ASSERT_EQ(ring.PushAll(data.data(), data.size()), fits) << "op " << op;
      if (fits) std::for_each(data.begin(), data.end(), written);
      ASSERT_TRUE(fits || std::memcmp(static_cast<void*>(&before), &ring, sizeof ring) == 0) << op;
    } else if (choice <= push_weight + 2 && !unread.empty()) {
      const uint32_t reader = static_cast<uint32_t>(random() % unread.size());
      const ByteSpans span = ring.BeginPop(handles[reader]);
      ASSERT_TRUE(RunsAre<SIZE>(span, base, (wp + SIZE - unread[reader].size()) % SIZE,
                                unread[reader].size()))
          << "op " << op;
      size_t read = 0;
      ASSERT_TRUE(PopChecked(random, span, unread[reader], &read)) << "op " << op;
      ring.EndPop(handles[reader], static_cast<int>(read));
    } else if (choice == push_weight + 3 && unread.size() < READERS) {
      handles.push_back(ring.AddReader());
      unread.emplace_back(history.end() - std::min(total, SIZE - 1), history.end());
    } else if (choice == push_weight + 4 && !unread.empty()) {
      const size_t reader = random() % unread.size();
      ring.RemoveReader(handles[reader]);
      handles.erase(handles.begin() + static_cast<std::ptrdiff_t>(reader));
      unread.erase(unread.begin() + reader);
    }
    ASSERT_EQ(ring.ActiveReaders(), unread.size());
    for (uint32_t r = 0; r < unread.size(); ++r) {
      ASSERT_EQ(ring.IsEmpty(handles[r]), unread[r].empty()) << "op " << op;
      ASSERT_EQ(ring.IsFull(handles[r]), unread[r].size() == SIZE - 1) << "op " << op;
    }
  }
}

// Fresh rings often, so that the first time round the array (before any wrap) is exercised as
// much as the steady state.
template <size_t SIZE, size_t READERS>
void CheckMultiReaderRingAgainstModel(uint64_t seed, size_t operations) {
  std::mt19937_64 random(seed);
  for (size_t done = 0; done < operations && !::testing::Test::HasFatalFailure();) {
    const size_t life = 1 + random() % (SIZE * 8);
    CheckOneMultiReaderRing<SIZE, READERS>(random, life);
    done += life;
  }
}

}  // namespace

TEST(MultiReaderRingModel, SessionSizedRingFollowsTheModel) {
  CheckMultiReaderRingAgainstModel<4096, 8>(20240611, 1500000);
}

// A tiny ring wraps, fills and replays history on nearly every operation.
TEST(MultiReaderRingModel, TinyRingFollowsTheModel) {
  CheckMultiReaderRingAgainstModel<8, 3>(7, 2000000);
  CheckMultiReaderRingAgainstModel<2, 2>(11, 500000);
}
