// Linux: Asio's epoll reactor registers each descriptor once, edge-triggered, for reading. Its
// async_wait nonetheless modifies the registration on every call (epoll_ctl), and its reads
// try the socket once more before they wait. The wait here is an operation of the reactor's
// own kind, queued once without a system call and told of every edge; accepted sockets come
// from accept4 already non-blocking and without delay, with no ioctl or setsockopt of their
// own.
#include "platform/socket_io.h"

#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/asio/detail/scheduler.hpp>
#include <boost/asio/detail/socket_ops.hpp>

#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>

namespace platform {
namespace {

namespace asio = boost::asio;
namespace detail = boost::asio::detail;
using asio::ip::tcp;
using boost::system::error_code;

static_assert(std::is_same_v<detail::reactor, detail::epoll_reactor>,
              "socket_io_epoll.cc needs Asio's epoll reactor");

// The descriptor's state (its reactor registration and Asio's non-blocking flags) is a
// non-public member of the socket and acceptor classes; naming it in an explicit template
// instantiation, where access is not checked, yields a pointer to it.
template <typename Tag, typename Tag::Member member>
struct MemberOf {
  friend typename Tag::Member memberOf(Tag) { return member; }
};
using Executor = asio::io_context::executor_type;
using SocketImpl = detail::io_object_impl<detail::reactive_socket_service<tcp>, Executor>;
struct SocketTag {
  using Member = SocketImpl asio::basic_socket<tcp, Executor>::*;
  friend Member memberOf(SocketTag);
};
struct AcceptorTag {
  using Member = SocketImpl asio::basic_socket_acceptor<tcp, Executor>::*;
  friend Member memberOf(AcceptorTag);
};
// And each descriptor's registration knows its reactor, which spares looking the reactor up
// among the io_context's services on every wait.
using DescriptorState = detail::epoll_reactor::descriptor_state;
struct ReactorOfTag {
  using Member = detail::epoll_reactor* DescriptorState::*;
  friend Member memberOf(ReactorOfTag);
};
// And its queues of operations, one per kind.
using OpQueues = detail::op_queue<detail::reactor_op>[detail::epoll_reactor::max_ops];
struct OpQueuesTag {
  using Member = OpQueues DescriptorState::*;
  friend Member memberOf(OpQueuesTag);
};
template struct MemberOf<SocketTag, &asio::basic_socket<tcp, Executor>::impl_>;
template struct MemberOf<AcceptorTag, &asio::basic_socket_acceptor<tcp, Executor>::impl_>;
template struct MemberOf<ReactorOfTag, &DescriptorState::reactor_>;
template struct MemberOf<OpQueuesTag, &DescriptorState::op_queue_>;

// The reactor keeps the state of every descriptor it ever watched, for reuse; after a burst of
// connections that is one small block in every page their objects took, which keeps all those
// pages from the heap.
struct RegisteredTag {
  using Member = detail::object_pool<DescriptorState> detail::epoll_reactor::*;
  friend Member memberOf(RegisteredTag);
};
struct RegisteredMutexTag {
  using Member = detail::conditionally_enabled_mutex detail::epoll_reactor::*;
  friend Member memberOf(RegisteredMutexTag);
};
struct FreeListTag {
  using Member = DescriptorState* detail::object_pool<DescriptorState>::*;
  friend Member memberOf(FreeListTag);
};
template struct MemberOf<RegisteredTag, &detail::epoll_reactor::registered_descriptors_>;
template struct MemberOf<RegisteredMutexTag,
                         &detail::epoll_reactor::registered_descriptors_mutex_>;
template struct MemberOf<FreeListTag, &detail::object_pool<DescriptorState>::free_list_>;

detail::reactive_socket_service<tcp>::implementation_type& stateOf(Socket& socket) {
  return (socket.*memberOf(SocketTag{})).get_implementation();
}
detail::reactive_socket_service<tcp>::implementation_type& stateOf(Acceptor& acceptor) {
  return (acceptor.*memberOf(AcceptorTag{})).get_implementation();
}

// Set while this thread queues a wait's record: the reactor then asks it whether it is already
// done, and nothing is to be told yet.
thread_local bool queueing = false;

} // namespace

// An operation of the reactor's own kind, queued once and left in the descriptor's queue while
// its listener waits again from each handler: the reactor asks it after every event on the
// socket (readable, closed or failed), and it tells the listener there and then. So a wait
// costs no queueing, no completion and no count of pending work. The listener's handler thus
// runs inside the reactor's pass over the descriptor; it may read, write, wait to write and
// close the socket, which is sound because the event loop's io_context takes no locks
// (startWait makes sure) and keeps a closed descriptor's state for reuse rather than freeing
// it. A handler that does not wait again lets the record leave the queue, and the listener's
// reference go, at the record's completion: closing the socket then finds nothing to cancel,
// which would cost the event loop a wake-up.
struct ReadableListener::WaitRecord final : detail::reactor_op {
  WaitRecord() : reactor_op(error_code(), &WaitRecord::perform, &WaitRecord::complete) {}

  static status perform(reactor_op* base) {
    auto* record = static_cast<WaitRecord*>(base);
    if (queueing || !record->listener)
      return not_done;
    std::shared_ptr<ReadableListener> listener = std::move(record->listener);
    const Telling outer = telling;
    telling = {record, &listener};
    listener->onReadable(error_code());
    telling = outer;
    // Waiting again, it took the reference over. Otherwise the reference keeps the listener,
    // and so the record, alive; unless the handler has closed the socket, which took the
    // record out of the queue and cancelled it.
    if (!listener ||
        (record->descriptor->*memberOf(OpQueuesTag{}))[detail::reactor::read_op].front() != record)
      return not_done;
    record->listener = std::move(listener);
    record->leaving = true;
    return done;
  }

  // Once the record leaves the reactor: its listener waits no more, its socket closed
  // (operation_aborted) or was never open, or the io_context is destroyed (`owner` null).
  static void complete(void* owner, detail::operation* base, const error_code&, std::size_t) {
    auto* record = static_cast<WaitRecord*>(base);
    record->inReactor = false;
    if (record->orphaned) {
      delete record;
      return;
    }
    const bool waiting = !std::exchange(record->leaving, false);
    std::shared_ptr<ReadableListener> listener = std::move(record->listener);
    if (owner && listener && waiting)
      listener->onReadable(record->ec_);
  }

  // Set while the listener waits, and while the record leaves the reactor; it keeps the
  // listener alive.
  std::shared_ptr<ReadableListener> listener;
  DescriptorState* descriptor = nullptr; // the socket's, while in the reactor
  bool inReactor = false;
  bool leaving = false; // done, and its completion is due
  // Its listener is gone: the record goes when it leaves the reactor.
  bool orphaned = false;

  // The record whose listener is being told on this thread, and the reference to the listener
  // that the telling holds: a wait started meanwhile takes that reference over, which costs
  // less than taking one of its own.
  struct Telling {
    WaitRecord* record = nullptr;
    std::shared_ptr<ReadableListener>* listener = nullptr;
  };
  static thread_local Telling telling;
};

thread_local ReadableListener::WaitRecord::Telling ReadableListener::WaitRecord::telling;

void ReadableListener::WaitRecordDeleter::operator()(WaitRecord* record) const {
  // In the reactor, it is about to leave it: the listener's socket has closed.
  if (record->inReactor)
    record->orphaned = true;
  else
    delete record;
}

namespace {

void startWait(std::unique_ptr<ReadableListener::WaitRecord, ReadableListener::WaitRecordDeleter>&
                   record,
               ReadableListener& listener, const Executor& executor,
               detail::reactive_socket_service<tcp>::implementation_type& state) {
  using WaitRecord = ReadableListener::WaitRecord;
  if (!record)
    record.reset(new WaitRecord);
  WaitRecord& wait = *record;
  wait.listener = WaitRecord::telling.record == &wait ? std::move(*WaitRecord::telling.listener)
                                                      : listener.keepAlive();
  if (wait.inReactor) {
    // Leaving, it is told at its completion instead, and queued again from there.
    wait.leaving = false;
    return;
  }

  // Handlers run inside the reactor's pass over a descriptor, whose lock they would take again.
  const int hint = asio::use_service<detail::scheduler>(executor.context()).concurrency_hint();
  if (BOOST_ASIO_CONCURRENCY_HINT_IS_LOCKING(REACTOR_IO, hint)) {
    std::fputs("whenReadable: the io_context needs EVENT_LOOP_CONCURRENCY_HINT\n", stderr);
    std::abort();
  }
  // A socket that is not open has no registration; the reactor then fails the wait at once.
  detail::epoll_reactor* reactor =
      state.reactor_data_ ? state.reactor_data_->*memberOf(ReactorOfTag{})
                          : &asio::use_service<detail::reactor>(executor.context());
  wait.ec_ = error_code();
  wait.descriptor = state.reactor_data_;
  wait.inReactor = true;
  queueing = true;
  reactor->start_op(detail::reactor::read_op, state.socket_, state.reactor_data_, &wait, false,
                    true);
  queueing = false;
}

} // namespace

const int EVENT_LOOP_CONCURRENCY_HINT = BOOST_ASIO_CONCURRENCY_HINT_UNSAFE;

void releaseClosedSocketsMemory(asio::execution_context& context) {
  auto& reactor = asio::use_service<detail::epoll_reactor>(context);
  {
    auto& mutex = reactor.*memberOf(RegisteredMutexTag{});
    detail::conditionally_enabled_mutex::scoped_lock lock(mutex);
    DescriptorState*& freeList = reactor.*memberOf(RegisteredTag{}).*memberOf(FreeListTag{});
    while (DescriptorState* state = freeList) {
      freeList = detail::object_pool_access::next(state);
      detail::object_pool_access::destroy(state);
    }
  }
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

void prepareAcceptor(Acceptor& acceptor, error_code& error) {
  acceptor.non_blocking(true, error);
  // Accepted sockets take it from the listener, each without a setsockopt of its own.
  if (!error)
    acceptor.set_option(tcp::no_delay(true), error);
  // A connection here carries one small request and one small reply (a few KiB at most) at a
  // time. So its send buffer is fixed (64 KiB, which the kernel doubles), not grown by the
  // kernel: a client that never reads can make the kernel hold no more than this for it. And
  // its congestion control is Reno, which does the least for each packet sent: no congestion
  // window ever holds such replies back, so a costlier algorithm the system may default to
  // (BBR) buys them nothing. Neither is needed for anything to work, so where the system
  // refuses one, its own default stays.
  if (!error) {
    error_code ignored;
    acceptor.set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
    constexpr char RENO[] = "reno";
    ::setsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_CONGESTION, RENO, sizeof RENO - 1);
  }
}

void acceptConnection(Acceptor& acceptor, Socket& peer, error_code& error) {
  const int descriptor =
      ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (descriptor < 0) {
    error = error_code(errno, asio::error::get_system_category());
    return;
  }
  peer.assign(tcp::v4(), descriptor, error);
  if (error) {
    ::close(descriptor);
    return;
  }
  // What socket.non_blocking(true) would record, without the ioctl: accept4 has done it.
  // And the descriptor is no copy of another, so closing it ends its registration without a
  // further epoll_ctl.
  auto& state = stateOf(peer).state_;
  state |= detail::socket_ops::user_set_non_blocking | detail::socket_ops::internal_non_blocking;
  state &= ~detail::socket_ops::possible_dup;
}

void whenReadable(Socket& socket, ReadableListener& listener) {
  startWait(listener.waitRecord_, listener, socket.get_executor(), stateOf(socket));
}

void whenReadable(Acceptor& acceptor, ReadableListener& listener) {
  startWait(listener.waitRecord_, listener, acceptor.get_executor(), stateOf(acceptor));
}

} // namespace platform
