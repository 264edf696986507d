// The rings against a plain reference model (a queue of unread bytes per reader and the
// history of everything written), plus the cases of their span arithmetic that matter most.
#include "circular_byte_buffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "kernel_log.h"

namespace {

using OutputRing = MultiReaderCircularByteBuffer<4096, 8>;
using InputRing = CircularByteBuffer<128>;

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
  return bytes;
}

template <typename Ring>
void PushBytes(Ring& ring, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ByteSpan room = ring.BeginPush();
    const size_t n = std::min(room.size, bytes.size() - done);
    ASSERT_GT(n, 0u) << "ring full after " << done << " bytes";
    std::memcpy(room.data, bytes.data() + done, n);
    ring.EndPush(static_cast<int>(n));
    done += n;
  }
}

std::vector<uint8_t> PopAll(OutputRing& ring, uint32_t reader) {
  std::vector<uint8_t> bytes;
  while (!ring.IsEmpty(reader)) {
    const ByteSpan span = ring.BeginPop(reader);
    bytes.insert(bytes.end(), span.data, span.data + span.size);
    ring.EndPop(reader, static_cast<int>(span.size));
  }
  return bytes;
}

// Draws how many of `limit` bytes an operation moves: often all or none, otherwise any.
size_t DrawCount(std::mt19937_64& random, size_t limit) {
  switch (random() % 4) {
    case 0:
      return limit;
    case 1:
      return 0;
    default:
      return random() % (limit + 1);
  }
}

// Random pushes, all-or-nothing pushes, pops, added and removed readers, each checked against
// the model: every span's position and size, every byte read, and PushAll's all-or-nothing rule.
// One ring's life of `operations` steps; fresh rings often, so that the first time round the
// array (before any wrap) is exercised as much as the steady state.
template <size_t SIZE, size_t READERS>
void CheckOneMultiReaderRing(std::mt19937_64& random, size_t operations) {
  using Ring = MultiReaderCircularByteBuffer<SIZE, READERS>;
  Ring ring;
  uint8_t* const base = ring.BeginPush().data;
  std::deque<uint8_t> history;  // the last SIZE bytes ever written
  size_t total = 0;
  std::vector<std::deque<uint8_t>> unread;
  unsigned push_weight = 3;

  for (size_t op = 0; op < operations; ++op) {
    // Phases that fill the ring and phases that drain it.
    if (op % 997 == 0) push_weight = 1 + random() % 5;
    const size_t wp = total % SIZE;
    size_t free_room = SIZE;  // what all readers together let the writer add
    for (const auto& queue : unread) free_room = std::min(free_room, SIZE - 1 - queue.size());
    const size_t expected_push_span = std::min(SIZE - wp, free_room);
    const unsigned choice = random() % (push_weight + 5);

    if (choice < push_weight) {
      const ByteSpan room = ring.BeginPush();
      ASSERT_EQ(room.data, base + wp) << "op " << op;
      ASSERT_EQ(room.size, expected_push_span) << "op " << op;
      const size_t n = DrawCount(random, room.size);
      for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = static_cast<uint8_t>(random());
        room.data[i] = byte;
        history.push_back(byte);
        for (auto& queue : unread) queue.push_back(byte);
      }
      while (history.size() > SIZE) history.pop_front();
      ring.EndPush(static_cast<int>(n));
      total += n;
    } else if (choice == push_weight) {
      const size_t length = random() % 3 == 0 ? random() % (SIZE + 1) : random() % (SIZE / 8 + 1);
      std::vector<uint8_t> data(length);
      for (auto& byte : data) byte = static_cast<uint8_t>(random());
      const bool fits = unread.empty() ? length <= SIZE : length <= free_room;
      Ring before;
      std::memcpy(static_cast<void*>(&before), &ring, sizeof ring);
      ASSERT_EQ(ring.PushAll(data.data(), length), fits) << "op " << op << " length " << length;
      if (!fits) {
        ASSERT_EQ(std::memcmp(static_cast<void*>(&before), &ring, sizeof ring), 0) << "op " << op;
        continue;
      }
      for (uint8_t byte : data) {
        history.push_back(byte);
        for (auto& queue : unread) queue.push_back(byte);
      }
      while (history.size() > SIZE) history.pop_front();
      total += length;
    } else if (choice <= push_weight + 2) {
      if (unread.empty()) continue;
      const uint32_t reader = static_cast<uint32_t>(random() % unread.size());
      auto& queue = unread[reader];
      const size_t rp = (wp + SIZE - queue.size()) % SIZE;
      const ByteSpan span = ring.BeginPop(reader);
      ASSERT_EQ(span.data, base + rp) << "op " << op;
      ASSERT_EQ(span.size, std::min(queue.size(), SIZE - rp)) << "op " << op;
      const size_t n = DrawCount(random, span.size);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(span.data[i], queue.front()) << "op " << op << " byte " << i;
        queue.pop_front();
      }
      ring.EndPop(reader, static_cast<int>(n));
    } else if (choice == push_weight + 3) {
      if (unread.size() == READERS) continue;
      ring.AddReader(static_cast<uint32_t>(unread.size()));
      const size_t replayed = std::min(total, SIZE - 1);
      unread.emplace_back(history.end() - replayed, history.end());
    } else {
      if (unread.empty()) continue;
      const size_t reader = random() % unread.size();
      ring.RemoveReader(static_cast<uint32_t>(reader));
      unread.erase(unread.begin() + reader);
    }

    ASSERT_EQ(ring.ActiveReaders(), unread.size());
    for (uint32_t r = 0; r < unread.size(); ++r) {
      ASSERT_EQ(ring.IsEmpty(r), unread[r].empty()) << "op " << op;
      ASSERT_EQ(ring.IsFull(r), unread[r].size() == SIZE - 1) << "op " << op;
    }
  }
}

template <size_t SIZE, size_t READERS>
void CheckMultiReaderRingAgainstModel(uint64_t seed, size_t operations) {
  std::mt19937_64 random(seed);
  for (size_t done = 0; done < operations && !::testing::Test::HasFatalFailure();) {
    const size_t life = 1 + random() % (SIZE * 8);
    CheckOneMultiReaderRing<SIZE, READERS>(random, life);
    done += life;
  }
}

template <size_t SIZE>
void CheckSingleReaderRingAgainstModel(uint64_t seed, size_t operations) {
  CircularByteBuffer<SIZE> ring;
  uint8_t* const base = ring.BeginPush().data;
  std::deque<uint8_t> unread;
  size_t wp = 0;
  std::mt19937_64 random(seed);
  unsigned push_weight = 1;
  for (size_t op = 0; op < operations; ++op) {
    if (op % 101 == 0) push_weight = random() % 3;
    if (random() % 3 < push_weight + 1) {
      const ByteSpan room = ring.BeginPush();
      ASSERT_EQ(room.data, base + wp) << "op " << op;
      ASSERT_EQ(room.size, std::min(SIZE - wp, SIZE - 1 - unread.size())) << "op " << op;
      const size_t n = DrawCount(random, room.size);
      for (size_t i = 0; i < n; ++i) {
        room.data[i] = static_cast<uint8_t>(random());
        unread.push_back(room.data[i]);
      }
      ring.EndPush(static_cast<int>(n));
      wp = (wp + n) % SIZE;
    } else {
      const size_t rp = (wp + SIZE - unread.size()) % SIZE;
      const ByteSpan span = ring.BeginPop();
      ASSERT_EQ(span.data, base + rp) << "op " << op;
      ASSERT_EQ(span.size, std::min(unread.size(), SIZE - rp)) << "op " << op;
      const size_t n = DrawCount(random, span.size);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(span.data[i], unread.front()) << "op " << op;
        unread.pop_front();
      }
      ring.EndPop(static_cast<int>(n));
    }
    ASSERT_EQ(ring.IsEmpty(), unread.empty());
    ASSERT_EQ(ring.IsFull(), unread.size() == SIZE - 1);
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

TEST(SingleReaderRingModel, RingsFollowTheModel) {
  CheckSingleReaderRingAgainstModel<128>(3, 2000000);
  CheckSingleReaderRingAgainstModel<4>(5, 1000000);
}

TEST(MultiReaderRing, WithoutReadersTheWriterGoesRoundFreely) {
  OutputRing ring;
  const ByteSpan first = ring.BeginPush();
  EXPECT_EQ(first.size, 4096u);
  PushBytes(ring, Bytes(4096, 1));
  const ByteSpan again = ring.BeginPush();
  EXPECT_EQ(again.data, first.data);
  EXPECT_EQ(again.size, 4096u);
  // The array has been filled once: a reader added now is full at once.
  ring.AddReader(0);
  EXPECT_TRUE(ring.IsFull(0));
}

TEST(MultiReaderRing, ReaderAddedBeforeTheWrapGetsEverythingWrittenSoFar) {
  OutputRing ring;
  const std::vector<uint8_t> written = Bytes(100, 3);
  PushBytes(ring, written);
  ring.AddReader(0);
  EXPECT_EQ(ring.BeginPop(0).size, 100u);
  EXPECT_EQ(PopAll(ring, 0), written);
}

TEST(MultiReaderRing, ReaderAddedAfterTheWrapGetsTheLast4095BytesAndHoldsTheWriter) {
  OutputRing ring;
  const std::vector<uint8_t> written = Bytes(5000, 9);
  PushBytes(ring, written);
  ring.AddReader(0);
  EXPECT_TRUE(ring.IsFull(0));
  EXPECT_EQ(ring.BeginPush().size, 0u);
  EXPECT_FALSE(ring.PushAll("x", 1));
  const std::vector<uint8_t> replayed = PopAll(ring, 0);
  EXPECT_EQ(replayed, std::vector<uint8_t>(written.end() - 4095, written.end()));
  EXPECT_GT(ring.BeginPush().size, 0u);
}

TEST(MultiReaderRing, ReaderAtZeroLimitsTheWriterToOneLessThanTheRest) {
  OutputRing ring;
  ring.AddReader(0);
  PushBytes(ring, Bytes(4000, 0));
  EXPECT_EQ(ring.BeginPush().size, 95u);
  // A reader between 0 and the write position does not limit the span to the array's end.
  ring.EndPop(0, 10);
  EXPECT_EQ(ring.BeginPush().size, 96u);
}

TEST(MultiReaderRing, PushAllIsAllOrNothing) {
  OutputRing with_reader;
  with_reader.AddReader(0);
  const std::vector<uint8_t> too_long = Bytes(4096, 0);
  EXPECT_FALSE(with_reader.PushAll(too_long.data(), 4096));
  EXPECT_TRUE(with_reader.IsEmpty(0));
  EXPECT_TRUE(with_reader.PushAll(too_long.data(), 0));
  EXPECT_TRUE(with_reader.IsEmpty(0));
  EXPECT_TRUE(with_reader.PushAll(too_long.data(), 4095));
  EXPECT_TRUE(with_reader.IsFull(0));

  // Only part fits: nothing goes in.
  OutputRing partial;
  partial.AddReader(0);
  PushBytes(partial, Bytes(4000, 0));
  EXPECT_FALSE(partial.PushAll(too_long.data(), 96));
  EXPECT_EQ(partial.BeginPush().size, 95u);
  EXPECT_EQ(PopAll(partial, 0).size(), 4000u);

  // No reader: a whole array's worth always goes in and overwrites the oldest history.
  OutputRing no_reader;
  PushBytes(no_reader, Bytes(3000, 0));
  const std::vector<uint8_t> newest = Bytes(4096, 200);
  EXPECT_TRUE(no_reader.PushAll(newest.data(), newest.size()));
  no_reader.AddReader(0);
  EXPECT_EQ(PopAll(no_reader, 0), std::vector<uint8_t>(newest.begin() + 1, newest.end()));
}

TEST(MultiReaderRing, PushAllAcrossTheWrapKeepsTheBytesInRingOrder) {
  OutputRing ring;
  ring.AddReader(0);
  PushBytes(ring, Bytes(4000, 0));
  PopAll(ring, 0);
  const std::vector<uint8_t> line = Bytes(300, 77);
  EXPECT_TRUE(ring.PushAll(line.data(), line.size()));
  EXPECT_EQ(ring.BeginPop(0).size, 96u);  // up to the end of the array; the rest follows
  EXPECT_EQ(PopAll(ring, 0), line);
}

TEST(MultiReaderRing, RemovingAReaderMovesTheLaterOnesDownWithTheirPositions) {
  OutputRing ring;
  ring.AddReader(0);
  ring.AddReader(1);
  ring.AddReader(2);
  PushBytes(ring, Bytes(50, 0));
  ring.EndPop(0, 10);
  ring.EndPop(1, 20);
  ring.EndPop(2, 30);
  ring.RemoveReader(1);
  EXPECT_EQ(ring.ActiveReaders(), 2u);
  EXPECT_EQ(ring.BeginPop(0).size, 40u);
  EXPECT_EQ(ring.BeginPop(1).size, 20u);
  const std::vector<uint8_t> written = Bytes(50, 0);
  EXPECT_EQ(PopAll(ring, 1), std::vector<uint8_t>(written.begin() + 30, written.end()));
}

TEST(SingleReaderRing, HoldsOneByteLessThanItsSize) {
  InputRing ring;
  EXPECT_EQ(ring.BeginPush().size, 127u);
  PushBytes(ring, Bytes(127, 0));
  EXPECT_TRUE(ring.IsFull());
  EXPECT_EQ(ring.BeginPush().size, 0u);
  EXPECT_EQ(ring.BeginPop().size, 127u);
  ring.EndPop(27);
  // Room after the write position up to the array's end, then from its start.
  EXPECT_EQ(ring.BeginPush().size, 1u);
  ring.EndPush(1);
  EXPECT_EQ(ring.BeginPush().size, 26u);
  EXPECT_EQ(ring.BeginPop().size, 101u);
}

namespace {

// Runs `misuse` in a child process whose kernel log is hidden, so the report reaches stderr.
std::string ReportOfMisuse(void (*misuse)()) {
  const ChildResult child = RunInChild([misuse] {
    if (!HideKernelLogForWriting()) _exit(3);
    misuse();
  });
  EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGABRT) << child.status;
  return child.err;
}

void ExpectReport(const std::string& report, const std::string& expression,
                  const std::string& function) {
  EXPECT_EQ(report.rfind(
                "\r\nASSERT FAILED: " + expression + "\r\napps/ttyweave/circular_byte_buffer:", 0),
            0u)
      << report;
  EXPECT_NE(report.find(":" + function + "\r\n"), std::string::npos) << report;
}

}  // namespace

TEST(RingInvariants, MisuseIsReportedWithTheRingsFunctionAndCondition) {
  ExpectReport(ReportOfMisuse([] {
                 InputRing ring;
                 ring.EndPush(129);
               }),
               "m_wp <= SIZE",
               "void CircularByteBuffer<SIZE>::EndPush(int) [with long unsigned int SIZE = 128]");
  ExpectReport(ReportOfMisuse([] {
                 InputRing ring;
                 ring.EndPop(200);
               }),
               "m_rp <= SIZE",
               "void CircularByteBuffer<SIZE>::EndPop(int) [with long unsigned int SIZE = 128]");
  const std::string multi = "MultiReaderCircularByteBuffer<SIZE, MAX_READERS>::";
  const std::string sizes = "long unsigned int SIZE = 4096; long unsigned int MAX_READERS = 8";
  ExpectReport(ReportOfMisuse([] {
                 OutputRing ring;
                 ring.EndPush(-1);
               }),
               "written >= 0", "void " + multi + "EndPush(int) [with " + sizes + "]");
  ExpectReport(ReportOfMisuse([] {
                 OutputRing ring;
                 ring.EndPush(4097);
               }),
               "m_wp <= SIZE", "void " + multi + "EndPush(int) [with " + sizes + "]");
  ExpectReport(
      ReportOfMisuse([] {
        OutputRing ring;
        ring.AddReader(0);
        ring.EndPop(0, 4097);
      }),
      "m_rp[reader] <= SIZE",
      "void " + multi + "EndPop(uint32_t, int) [with " + sizes + "; uint32_t = unsigned int]");
  ExpectReport(
      ReportOfMisuse([] {
        OutputRing ring;
        ring.AddReader(1);
      }),
      "reader == m_active_readers",
      "void " + multi + "AddReader(uint32_t) [with " + sizes + "; uint32_t = unsigned int]");
  ExpectReport(
      ReportOfMisuse([] {
        OutputRing ring;
        ring.AddReader(0);
        ring.RemoveReader(1);
      }),
      "reader < m_active_readers",
      "void " + multi + "RemoveReader(uint32_t) [with " + sizes + "; uint32_t = unsigned int]");
  ExpectReport(
      ReportOfMisuse([] {
        MultiReaderCircularByteBuffer<4, 1> ring;
        ring.AddReader(0);
        ring.AddReader(1);
      }),
      "reader < MAX_READERS",
      "void MultiReaderCircularByteBuffer<SIZE, MAX_READERS>::AddReader(uint32_t) [with long "
      "unsigned int SIZE = 4; long unsigned int MAX_READERS = 1; uint32_t = unsigned int]");
}
