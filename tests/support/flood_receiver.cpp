#include "flood_receiver.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

// As much as a socket or pseudo-terminal hands over in one read, and then some.
constexpr size_t kReadSize = 1 << 16;

}  // namespace

std::vector<FloodStream> ReceiveFlood(const std::vector<int>& fds, uint64_t bytes,
                                      std::chrono::steady_clock::time_point deadline) {
  std::vector<FloodStream> streams(fds.size(), FloodStream(bytes));
  std::vector<uint8_t> buffer(kReadSize);
  std::vector<pollfd> waiting;
  std::vector<size_t> waiting_index;
  for (;;) {
    waiting.clear();
    waiting_index.clear();
    for (size_t i = 0; i < fds.size(); ++i) {
      if (streams[i].checker.Complete() || streams[i].ended_early) continue;
      waiting.push_back({fds[i], POLLIN, 0});
      waiting_index.push_back(i);
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (waiting.empty() || left.count() <= 0) break;
    const int ready = poll(waiting.data(), waiting.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    if (ready <= 0) continue;
    // One read per ready descriptor and pass, so that each is served as often as the others.
    for (size_t w = 0; w < waiting.size(); ++w) {
      if (waiting[w].revents == 0) continue;
      FloodStream& stream = streams[waiting_index[w]];
      const ssize_t got = read(waiting[w].fd, buffer.data(), buffer.size());
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      // End of file, or an error: a closed socket, or EIO from a master whose slave closed.
      if (got <= 0) {
        stream.ended_early = true;
        continue;
      }
      stream.checker.Take(buffer.data(), static_cast<size_t>(got));
      if (stream.checker.Complete()) stream.completed_at = std::chrono::steady_clock::now();
    }
  }
  return streams;
}
