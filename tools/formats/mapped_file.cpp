#include "formats/mapped_file.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>

#include "core/input_error.hpp"

namespace tsneloss::formats {
namespace {

// The mappings the handler may repair; a mapping that finds no free slot is not made.
constexpr int kSlots = 64;

struct Slot {
  std::atomic<std::uintptr_t> begin{0};  // 0: free
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> shrunk{false};
};

Slot g_slots[kSlots];
std::mutex g_mutex;  // claims slots and installs the handler; never taken by the handler
int g_live = 0;
struct sigaction g_previous {};
std::uintptr_t g_page = 0;

void OnBusError(int, siginfo_t* info, void*) {
  const int saved_errno = errno;
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_acquire)) continue;
    // Zeros over the page cut off; the reader is told by the flag.
    void* const page = reinterpret_cast<void*>(address & ~(g_page - 1));
    if (::mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.shrunk.store(true, std::memory_order_release);
      errno = saved_errno;
      return;
    }
    break;
  }
  // Not a mapping of ours: the handler from before takes this fault, which recurs
  // once this returns; a signal sent rather than caused is sent again.
  ::sigaction(SIGBUS, &g_previous, nullptr);
  if (info->si_code <= 0) ::raise(SIGBUS);
  errno = saved_errno;
}

bool HandlerInstalled() {
  struct sigaction current {};
  ::sigaction(SIGBUS, nullptr, &current);
  return (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == OnBusError;
}

// A free slot for [begin, end) with the handler in place, or -1.
int Register(std::uintptr_t begin, std::uintptr_t end) {
  const std::lock_guard lock(g_mutex);
  for (int k = 0; k < kSlots; ++k) {
    if (g_slots[k].begin.load(std::memory_order_relaxed) != 0) continue;
    if (!HandlerInstalled()) {
      g_page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
      struct sigaction ours {};
      ours.sa_sigaction = OnBusError;
      ours.sa_flags = SA_SIGINFO;
      sigemptyset(&ours.sa_mask);
      if (::sigaction(SIGBUS, &ours, &g_previous) != 0) return -1;
    }
    g_slots[k].shrunk.store(false, std::memory_order_relaxed);
    g_slots[k].end.store(end, std::memory_order_release);
    g_slots[k].begin.store(begin, std::memory_order_release);
    ++g_live;
    return k;
  }
  return -1;
}

void Unregister(int k) {
  const std::lock_guard lock(g_mutex);
  g_slots[k].begin.store(0, std::memory_order_release);
  g_slots[k].end.store(0, std::memory_order_release);
  if (--g_live == 0 && HandlerInstalled()) ::sigaction(SIGBUS, &g_previous, nullptr);
}

}  // namespace

MappedFile::MappedFile(int fd, std::uint64_t size) : fd_(fd) {
  void* const map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(map);
  slot_ = Register(begin, begin + size);
  if (slot_ < 0) {
    ::munmap(map, size);
    return;
  }
  ::madvise(map, size, MADV_SEQUENTIAL);
  data_ = static_cast<const char*>(map);
  size_ = size;
}

MappedFile::~MappedFile() {
  if (data_ == nullptr) return;
  Unregister(slot_);
  ::munmap(const_cast<char*>(data_), size_);
}

bool MappedFile::Shrunk() const {
  if (data_ == nullptr) return false;
  if (g_slots[slot_].shrunk.load(std::memory_order_acquire)) return true;
  struct stat info {};
  return ::fstat(fd_, &info) == 0 && static_cast<std::uint64_t>(info.st_size) < size_;
}

void MappedFile::ThrowIfShrunk(const std::string& name) const {
  if (Shrunk()) throw core::InputError(name, "the file shrank while it was read");
}

void MappedFile::Release(std::uint64_t offset, std::uint64_t length) const {
  ::madvise(const_cast<char*>(data_) + offset, length, MADV_DONTNEED);
}

void MappedFile::Populate([[maybe_unused]] std::uint64_t offset, [[maybe_unused]] std::uint64_t length) const {
#ifdef MADV_POPULATE_READ
  // Fails (EFAULT) rather than faulting for pages past a file cut shorter.
  ::madvise(const_cast<char*>(data_) + offset, length, MADV_POPULATE_READ);
#endif
}

}  // namespace tsneloss::formats
