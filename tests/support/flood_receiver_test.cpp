// Receiving floods on several descriptors at once, as the throughput benchmarks do, over real
// socket pairs written by another thread.
#include "flood_receiver.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Several socket buffers' worth, so that the writer blocks unless every stream is read at once.
constexpr size_t kStreamBytes = 4 << 20;
// The piece the writer hands each stream in turn.
constexpr size_t kPieceBytes = 4096;
// Far more than the transfers take; reached only when receiving is broken.
constexpr auto kDeadline = std::chrono::seconds(10);

// Socket pairs: the receiver reads [i][0], the writer writes [i][1].
class SocketPairs {
 public:
  explicit SocketPairs(size_t count) : m_pairs(count) {
    for (auto& pair : m_pairs)
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0)
        throw std::runtime_error("socketpair failed");
  }
  ~SocketPairs() {
    for (auto& pair : m_pairs)
      for (int& fd : pair) CloseEnd(fd);
  }
  SocketPairs(const SocketPairs&) = delete;
  SocketPairs& operator=(const SocketPairs&) = delete;

  std::vector<int> ReadEnds() const {
    std::vector<int> fds;
    for (const auto& pair : m_pairs) fds.push_back(pair[0]);
    return fds;
  }
  int WriteEnd(size_t i) const { return m_pairs[i][1]; }
  void CloseWriteEnd(size_t i) { CloseEnd(m_pairs[i][1]); }
  // Lets a writer that is still blocked fail, so that it can be joined.
  void ShutDownReadEnds() {
    for (auto& pair : m_pairs) shutdown(pair[0], SHUT_RDWR);
  }

 private:
  static void CloseEnd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  std::vector<std::array<int, 2>> m_pairs;
};

void WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t written = send(fd, data, length, MSG_NOSIGNAL);
    if (written <= 0) return;  // the test fails on what the receiver saw
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// Writes the first `bytes` of the pattern to every write end, a piece to each in turn, with
// `damage` applied to each piece first (stream, position, bytes).
template <typename Damage>
void WriteRoundRobin(const SocketPairs& pairs, size_t streams, size_t bytes, Damage damage) {
  std::vector<uint8_t> piece(kPieceBytes);
  for (size_t position = 0; position < bytes; position += kPieceBytes) {
    const size_t length = std::min(kPieceBytes, bytes - position);
    for (size_t i = 0; i < streams; ++i) {
      FillFloodPattern(position, piece.data(), length);
      damage(i, position, piece.data());
      WriteAll(pairs.WriteEnd(i), piece.data(), length);
    }
  }
}

std::chrono::steady_clock::time_point Deadline() {
  return std::chrono::steady_clock::now() + kDeadline;
}

}  // namespace

// A receiver that took the streams one after the other would leave the writer blocked on the
// second stream while it waits for the first: this ends only when all are read at once.
TEST(ReceiveFlood, EveryStreamIsReadAtOnceAndCheckedWhole) {
  constexpr size_t kStreams = 3;
  SocketPairs pairs(kStreams);
  const auto started = std::chrono::steady_clock::now();
  std::thread writer(
      [&] { WriteRoundRobin(pairs, kStreams, kStreamBytes, [](size_t, size_t, uint8_t*) {}); });
  const std::vector<FloodStream> streams = ReceiveFlood(pairs.ReadEnds(), kStreamBytes, Deadline());
  pairs.ShutDownReadEnds();
  writer.join();
  ASSERT_EQ(streams.size(), kStreams);
  for (const FloodStream& stream : streams) {
    EXPECT_TRUE(stream.checker.Intact());
    EXPECT_FALSE(stream.ended_early);
    EXPECT_GE(stream.completed_at, started);
  }
}

TEST(ReceiveFlood, ADamagedStreamAndOneThatEndsEarlyAreToldApartFromTheRest) {
  constexpr size_t kDamagedAt = 123457;
  constexpr size_t kEndsAfter = 1 << 20;
  SocketPairs pairs(3);
  std::thread writer([&] {
    WriteRoundRobin(pairs, 2, kStreamBytes, [](size_t stream, size_t position, uint8_t* piece) {
      if (stream == 1 && position <= kDamagedAt && kDamagedAt < position + kPieceBytes)
        piece[kDamagedAt - position] ^= 1;
    });
  });
  std::vector<uint8_t> start(kEndsAfter);
  FillFloodPattern(0, start.data(), start.size());
  std::thread short_writer([&] {
    WriteAll(pairs.WriteEnd(2), start.data(), start.size());
    pairs.CloseWriteEnd(2);
  });
  const std::vector<FloodStream> streams = ReceiveFlood(pairs.ReadEnds(), kStreamBytes, Deadline());
  pairs.ShutDownReadEnds();
  writer.join();
  short_writer.join();
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_TRUE(streams[0].checker.Intact());
  EXPECT_FALSE(streams[1].checker.Intact());
  ASSERT_TRUE(streams[1].checker.FirstMismatch().has_value());
  EXPECT_EQ(*streams[1].checker.FirstMismatch(), kDamagedAt);
  EXPECT_TRUE(streams[2].ended_early);
  EXPECT_EQ(streams[2].checker.Received(), kEndsAfter);
  EXPECT_FALSE(streams[2].checker.FirstMismatch().has_value());
}

TEST(ReceiveFlood, ASilentStreamEndsTheWaitAtTheDeadline) {
  constexpr auto kShortDeadline = std::chrono::milliseconds(200);
  SocketPairs pairs(1);
  const auto deadline = std::chrono::steady_clock::now() + kShortDeadline;
  const std::vector<FloodStream> streams = ReceiveFlood(pairs.ReadEnds(), kStreamBytes, deadline);
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].checker.Received(), 0u);
  EXPECT_FALSE(streams[0].ended_early);
}
