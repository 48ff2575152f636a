#include "rest/connection.h"

#include <boost/asio/post.hpp>

#include <array>
#include <chrono>

namespace rest {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

constexpr auto LINGER_TIME = std::chrono::seconds(2);
// Reads in a row before other connections get their turn.
constexpr int READS_PER_TURN = 4;

// Every connection reads into this one buffer and keeps only what it has not consumed, so an
// idle connection holds no read buffer at all. Event-loop thread only.
std::array<char, 16 * 1024> readBuffer;
// Likewise every connection's replies are put here and written at once; only what the socket
// does not take moves to the connection's own output. Event-loop thread only.
std::string replyBuffer;
constexpr std::size_t REPLY_BUFFER_KEPT = 16 * 1024;

} // namespace

Connection::Connection(Socket socket, ConnectionRegistry& registry)
    : socket_(std::move(socket)), registry_(registry) {}

Connection::~Connection() { registry_.closed(*this); }

void Connection::run() {
  registry_.opened(*this);
  // Reads find nothing rather than block: the connection waits for readiness instead.
  error_code error;
  socket_.non_blocking(true, error);
  if (!error)
    doRead();
}

void Connection::doRead() {
  for (int turn = 0; turn < READS_PER_TURN; ++turn) {
    error_code error;
    const std::size_t received = socket_.read_some(asio::buffer(readBuffer), error);
    if (error == asio::error::would_block) {
      waitToRead();
      return;
    }
    if (error) // the client closed or the connection failed: nothing is left to answer
      return;
    if (!takeInput({readBuffer.data(), received}))
      return;
    // Less than the buffer holds: nothing more had arrived, so a read now would most likely
    // find nothing; a wait reports at once what did arrive meanwhile.
    if (received < readBuffer.size()) {
      waitToRead();
      return;
    }
  }
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->doRead(); });
}

bool Connection::takeInput(std::string_view data) {
  replyBuffer.clear();
  if (session_.receive(data, replyBuffer) == HttpSession::Next::Close)
    closeWhenWritten_ = true;
  // Replies written at once count against the reader's turn, so that a client that keeps
  // sending and reading never holds the event loop beyond it.
  std::size_t sent = 0;
  if (!writeOutput(replyBuffer, sent))
    return false;
  if (closeWhenWritten_) {
    doLingeringClose();
    return false;
  }
  return true;
}

void Connection::waitToRead() {
  fileWhileReading();
  if (!ownReadBuffer_ && session_.requests() > 1)
    ownReadBuffer_ = std::make_unique_for_overwrite<std::array<char, OWN_READ_BUFFER_SIZE>>();
  if (ownReadBuffer_) {
    socket_.async_read_some(asio::buffer(*ownReadBuffer_),
                            [self = shared_from_this()](const error_code& error, std::size_t size) {
                              self->onReceived(error, size);
                            });
    return;
  }
  socket_.async_wait(Socket::wait_read, [self = shared_from_this()](const error_code& error) {
    self->onReadable(error);
  });
}

void Connection::fileWhileReading() {
  const HttpSession::Pending pending = session_.pending();
  if (pending == HttpSession::Pending::Nothing) {
    // A connection with no request answered yet stays filed as new.
    if (session_.served())
      registry_.idle(*this);
  } else {
    // A head is timed from its start, a body from its last progress.
    registry_.inRequest(*this, session_.requests() != requestsFiled_,
                        pending == HttpSession::Pending::Body);
  }
  requestsFiled_ = session_.requests();
}

void Connection::onReadable(const error_code& error) {
  if (!error)
    doRead();
}

void Connection::onReceived(const error_code& error, std::size_t received) {
  // A read done before the connection was shed still completes without an error; its request
  // is not answered, as its reply could not be sent (getTemplate's template would be lost).
  if (error || !socket_.is_open() || !takeInput({ownReadBuffer_->data(), received}))
    return;
  // A full buffer may have left more behind, which the shared buffer takes.
  if (received == ownReadBuffer_->size())
    doRead();
  else
    waitToRead();
}

bool Connection::writeOutput(std::string& output, std::size_t& sent) {
  const bool pending = output_ && &output == &output_->bytes;
  const std::size_t sentBefore = sent;
  while (sent < output.size()) {
    error_code error;
    const std::size_t written =
        socket_.write_some(asio::buffer(output.data() + sent, output.size() - sent), error);
    if (error == asio::error::would_block) {
      registry_.writing(*this, sent != sentBefore);
      if (!pending)
        output_ = std::make_unique<PendingOutput>(PendingOutput{std::string(output, sent)});
      socket_.async_wait(Socket::wait_write,
                         [self = shared_from_this()](const error_code& e) { self->onWritable(e); });
      return false;
    }
    if (error)
      return false;
    sent += written;
  }
  if (pending)
    output_.reset(); // an idle connection holds no output buffer
  else if (output.capacity() > REPLY_BUFFER_KEPT)
    output = std::string();
  return true;
}

void Connection::doWrite() {
  if (!writeOutput(output_->bytes, output_->sent))
    return;
  if (closeWhenWritten_)
    doLingeringClose();
  else
    doRead();
}

void Connection::onWritable(const error_code& error) {
  if (!error)
    doWrite();
}

void Connection::doLingeringClose() {
  error_code ignored;
  socket_.shutdown(Socket::shutdown_send, ignored);
  registry_.closing(*this);
  lingerTimer_ = std::make_unique<asio::steady_timer>(socket_.get_executor());
  lingerTimer_->expires_after(LINGER_TIME);
  lingerTimer_->async_wait([self = shared_from_this()](const error_code& error) {
    if (!error) {
      error_code ignored;
      self->socket_.close(ignored);
    }
  });
  onLingerReadable({});
}

void Connection::onLingerReadable(const error_code& error) {
  if (error || !socket_.is_open())
    return;
  for (int turn = 0;; ++turn) {
    error_code readError;
    if (turn < READS_PER_TURN)
      socket_.read_some(asio::buffer(readBuffer), readError);
    if (turn == READS_PER_TURN) {
      asio::post(socket_.get_executor(),
                 [self = shared_from_this()] { self->onLingerReadable({}); });
      return;
    }
    if (readError == asio::error::would_block) {
      socket_.async_wait(Socket::wait_read, [self = shared_from_this()](const error_code& error) {
        self->onLingerReadable(error);
      });
      return;
    }
    if (readError) { // the client has closed too
      lingerTimer_->cancel();
      error_code ignored;
      socket_.close(ignored);
      return;
    }
  }
}

void Connection::shed() {
  error_code ignored;
  socket_.close(ignored); // the pending operation ends with an error, and with it the connection
  if (lingerTimer_)
    lingerTimer_->cancel();
}

} // namespace rest
