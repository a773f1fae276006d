// The channel over real pipes.
#include "Host/IOStream.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

class Pipe {
 public:
  Pipe() { EXPECT_EQ(0, pipe(fds_)); }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  int read_fd() const { return fds_[0]; }
  int write_fd() const { return fds_[1]; }
  void CloseRead() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseWrite() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fds_[1], bytes.data(), bytes.size()));
  }
  std::string ReadAll() {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::string Count(std::uint32_t n) {
  return std::string{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                     static_cast<char>((n >> 16) & 0xFF), static_cast<char>(n >> 24)};
}

TEST(ReadFrameTest, OutcomesOfEachInput) {
  const struct {
    const char* name;
    std::string input;  // then the writer closes
    bool ok;
    std::string message;  // when ok; empty with length 0 = conversation over
  } cases[] = {
      {"hello", Count(5) + "hello", true, "hello"},
      {"zero byte inside", Count(3) + std::string("a\0b", 3), true, std::string("a\0b", 3)},
      {"count 0", Count(0), true, ""},
      {"count FFFFFFFF", Count(0xFFFFFFFFu) + "ignored", true, ""},
      {"closed before a count", "", true, ""},
      {"short body", Count(5) + "hel", false, ""},
      {"short count", std::string("\x05\x00\x00", 3), false, ""},
      {"over the cap", Count(MAX_REQUEST_SIZE + 1), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe p;
    p.Write(c.input);
    p.CloseWrite();
    char* sentinel = reinterpret_cast<char*>(0x1);
    char* message = sentinel;
    std::uint32_t length = 77;
    const int status = ReadFromNativeMessaging(&message, p.read_fd(), &length);
    if (!c.ok) {
      EXPECT_NE(0, status);
      EXPECT_EQ(sentinel, message);  // untouched on failure
      EXPECT_EQ(77u, length);
      continue;
    }
    ASSERT_EQ(0, status);
    EXPECT_EQ(c.message.size(), length);
    if (c.message.empty()) {
      EXPECT_EQ(nullptr, message);
    } else {
      EXPECT_EQ(c.message, std::string(message, length));
      EXPECT_EQ('\0', message[length]);
      delete[] message;
    }
  }
}

TEST(ReadFrameTest, BackToBackFramesAndPiecewiseDelivery) {
  Pipe p;
  std::thread writer([&] {
    p.Write(Count(2) + "ab" + Count(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.Write("x");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.Write("yz");
    p.CloseWrite();
  });
  std::vector<std::string> got;
  for (;;) {
    char* message = nullptr;
    std::uint32_t length = 0;
    ASSERT_EQ(0, ReadFromNativeMessaging(&message, p.read_fd(), &length));
    if (length == 0) break;
    got.emplace_back(message, length);
    delete[] message;
  }
  writer.join();
  EXPECT_EQ((std::vector<std::string>{"ab", "xyz"}), got);
}

// The cap itself is allowed: a frame of exactly MAX_REQUEST_SIZE bytes arrives
// whole (only one byte more is refused, in the table above).
TEST(ReadFrameTest, FrameOfExactlyTheCapIsReadWhole) {
  std::string body(MAX_REQUEST_SIZE, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
  // A refused frame leaves the writer blocked on a full pipe: closing the
  // reading end releases it with EPIPE instead of a signal.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  Pipe p;
  const std::string frame = Count(MAX_REQUEST_SIZE) + body;
  std::thread writer([&] {
    for (std::size_t done = 0; done < frame.size();) {
      const ssize_t n = write(p.write_fd(), frame.data() + done, frame.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    p.CloseWrite();
  });
  char* message = nullptr;
  std::uint32_t length = 0;
  const int status = ReadFromNativeMessaging(&message, p.read_fd(), &length);
  p.CloseRead();
  writer.join();
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_EQ(0, status);
  ASSERT_NE(nullptr, message);
  EXPECT_EQ(MAX_REQUEST_SIZE, length);
  EXPECT_TRUE(std::string_view(message, length) == body);
  EXPECT_EQ('\0', message[length]);
  delete[] message;
}

TEST(ReadFrameTest, NullOutPlacesAreSkipped) {
  Pipe p;
  p.Write(Count(2) + "ok");
  p.CloseWrite();
  EXPECT_EQ(0, ReadFromNativeMessaging(nullptr, p.read_fd(), nullptr));
}

TEST(WriteFrameTest, FrameBytesAndSizeLimit) {
  const struct {
    std::size_t size;
    int status;
    std::size_t written;
  } cases[] = {
      {0, 0, 4},
      {5, 0, 9},
      {MAX_RESPONSE_SIZE, 0, MAX_RESPONSE_SIZE + 4},
      {MAX_RESPONSE_SIZE + 1, -1, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Pipe p;
    const std::string text(c.size, 'j');
    std::string received;
    std::thread reader([&] { received = p.ReadAll(); });
    EXPECT_EQ(c.status, WriteToNativeMessaging(text.c_str(), p.write_fd()));
    p.CloseWrite();
    reader.join();
    ASSERT_EQ(c.written, received.size());
    if (c.status == 0) {
      EXPECT_EQ(Count(static_cast<std::uint32_t>(c.size)), received.substr(0, 4));
      EXPECT_EQ(text, received.substr(4));
    } else {
      EXPECT_EQ(Count(0xFFFFFFFFu), received);
    }
  }
}

TEST(WriteFrameTest, ClosedReaderIsAFailureNotASignal) {
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  Pipe p;
  p.CloseRead();
  EXPECT_EQ(-1, WriteToNativeMessaging("hello", p.write_fd()));
  sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
