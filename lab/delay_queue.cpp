// natlab-delay-queue: delays the packets of one NFQUEUE queue, as a link with a fixed delay and a
// random jitter would (lab/DelaySchedule.h), and keeps their order. The lab's router sends the
// call's UDP here with an nftables "queue num N" rule; each packet's verdict (accept) is given
// once its release time has come. No netem needed.
//
//   natlab-delay-queue --queue N --delay-ms MS [--jitter-ms MS] [--seed S] [--max-held N]
//
// It asks for real-time scheduling (where it may), so that a busy machine does not add its own
// jitter to the one drawn. Runs until SIGTERM or SIGINT, then hands on what it still holds at once, leaves the queue and
// says how many packets it passed. Packets beyond --max-held (a full buffer) are dropped.
#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>

#include "lab/DelaySchedule.h"

namespace {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct THeld {
  uint32_t Id;
  int64_t ReleaseUs;
};

struct TState {
  natlab::TDelaySchedule* Schedule;
  std::deque<THeld> Held;
  size_t MaxHeld;
  uint64_t Passed = 0;
  uint64_t Dropped = 0;
};

int OnPacket(nfq_q_handle* qh, nfgenmsg*, nfq_data* data, void* arg) {
  auto* state = static_cast<TState*>(arg);
  nfqnl_msg_packet_hdr* hdr = nfq_get_msg_packet_hdr(data);
  if (hdr == nullptr) return 0;
  uint32_t id = ntohl(hdr->packet_id);
  if (state->Held.size() >= state->MaxHeld) {
    ++state->Dropped;
    return nfq_set_verdict(qh, id, NF_DROP, 0, nullptr);
  }
  state->Held.push_back({id, state->Schedule->Release(NowUs())});
  return 0;
}

bool ParseInt(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
  out = v;
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: natlab-delay-queue --queue N --delay-ms MS [--jitter-ms MS] [--seed S] [--max-held N]\n"
               "  each packet of NFQUEUE queue N is accepted MS ms after it came, plus a jitter drawn\n"
               "  uniformly from [0, --jitter-ms], never before the packet ahead of it\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t queue = -1, delayMs = -1, jitterMs = 0, seed = 1, maxHeld = 4096;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string_view v = argv[++i];
    bool ok = false;
    if (a == "--queue") ok = ParseInt(v, 0, 65535, queue);
    else if (a == "--delay-ms") ok = ParseInt(v, 0, 10000, delayMs);
    else if (a == "--jitter-ms") ok = ParseInt(v, 0, 10000, jitterMs);
    else if (a == "--seed") ok = ParseInt(v, 0, INT64_MAX, seed);
    else if (a == "--max-held") ok = ParseInt(v, 1, 1000000, maxHeld);
    if (!ok) return Usage();
  }
  if (queue < 0 || delayMs < 0) return Usage();

  // The signals come through a descriptor, so that the wait for packets also waits for them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int sigFd = signalfd(-1, &signals, SFD_CLOEXEC);

  natlab::TDelaySchedule schedule({delayMs * 1000, jitterMs * 1000, static_cast<uint64_t>(seed)});
  TState state{&schedule, {}, static_cast<size_t>(maxHeld)};

  sched_param priority{};
  priority.sched_priority = 10;
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
    std::fprintf(stderr, "natlab-delay-queue: no real-time scheduling (%s): a busy machine adds its own jitter\n",
                 std::strerror(errno));
  }
  nfq_handle* h = nfq_open();
  if (h == nullptr || sigFd < 0) {
    std::fprintf(stderr, "natlab-delay-queue: cannot open netfilter queues: %s\n", std::strerror(errno));
    return 1;
  }
  nfq_q_handle* qh = nfq_create_queue(h, static_cast<uint16_t>(queue), OnPacket, &state);
  if (qh == nullptr || nfq_set_mode(qh, NFQNL_COPY_META, 0) < 0) {
    std::fprintf(stderr, "natlab-delay-queue: cannot bind queue %lld: %s\n", static_cast<long long>(queue),
                 std::strerror(errno));
    if (qh != nullptr) nfq_destroy_queue(qh);
    nfq_close(h);
    return 1;
  }
  nfq_set_queue_maxlen(qh, static_cast<uint32_t>(maxHeld));
  int fd = nfq_fd(h);
  int one = 1;
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &one, sizeof one);
  std::fprintf(stderr, "natlab-delay-queue: queue %lld, delay %lld ms, jitter uniform 0..%lld ms, seed %lld, order kept\n",
               static_cast<long long>(queue), static_cast<long long>(delayMs), static_cast<long long>(jitterMs),
               static_cast<long long>(seed));

  alignas(8) static char buf[65536];
  bool running = true;
  while (running) {
    int64_t now = NowUs();
    // Wake for the next release, or after a second at most.
    int64_t waitUs = state.Held.empty() ? 1000000 : std::max<int64_t>(0, state.Held.front().ReleaseUs - now);
    if (waitUs > 1000000) waitUs = 1000000;
    timespec timeout{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
    pollfd fds[2] = {{fd, POLLIN, 0}, {sigFd, POLLIN, 0}};
    int n = ppoll(fds, 2, &timeout, nullptr);
    if (n < 0 && errno != EINTR) break;
    if (n > 0 && (fds[1].revents & POLLIN)) running = false;
    if (n > 0 && (fds[0].revents & POLLIN)) {
      // At most 256 messages per wake, so that releases are never starved.
      for (int k = 0; k < 256; ++k) {
        ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got <= 0) break;
        nfq_handle_packet(h, buf, static_cast<int>(got));
      }
    }
    now = NowUs();
    while (!state.Held.empty() && (state.Held.front().ReleaseUs <= now || !running)) {
      nfq_set_verdict(qh, state.Held.front().Id, NF_ACCEPT, 0, nullptr);
      state.Held.pop_front();
      ++state.Passed;
    }
  }
  nfq_destroy_queue(qh);
  nfq_close(h);
  std::fprintf(stderr, "natlab-delay-queue: queue %lld: passed %llu, dropped %llu\n", static_cast<long long>(queue),
               static_cast<unsigned long long>(state.Passed), static_cast<unsigned long long>(state.Dropped));
  return 0;
}
