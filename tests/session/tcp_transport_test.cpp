// The TCP transport against a peer on the other end of a socket pair: a step's bytes leave in one
// send, what the peer sends and its close are told, a peer that stops reading fails the session,
// and what the farewell's drain is handed in each case.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tcp_transport.h"

namespace approbe::session {
namespace {

struct Told final : ITransportEvents {
    void WatchSocket(std::uint32_t events) override { watched = events; }
    void Received(std::string_view bytes) override { received += bytes; }
    void LoggedIn() override {}
    void LoginRejected() override {}
    void HostKeyRefused(const std::string&) override {}
    void Lost(SessionEnd why) override { lost = why; }
    void Tell(SessionEvent) override {}

    std::uint32_t watched = 0;
    std::string received;
    SessionEnd lost = SessionEnd::None;
};

struct Pair {
    Pair()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        ours = fds[0];
        peer = fds[1];
        transport.Connected(ours, told);
    }
    ~Pair()
    {
        ::close(ours);
        ::close(peer);
    }
    std::string PeerReads()
    {
        char buf[256];
        const ssize_t n = ::recv(peer, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string(n == 0 ? "<eof>" : "");
    }

    SessionSetup setup;
    TcpTransport transport{setup};
    Told told;
    int ours = -1, peer = -1;
};

TEST(TcpTransport, AStepsBytesLeaveTogetherAndThePeersBytesAndCloseAreTold)
{
    Pair p;
    p.transport.Write("get station\r\n");
    p.transport.Write("get nf\r\n");
    EXPECT_EQ(p.PeerReads(), "") << "nothing before the step's end";
    p.transport.Flush();
    EXPECT_EQ(p.PeerReads(), "get station\r\nget nf\r\n");

    ::send(p.peer, "AP> ", 4, 0);
    p.transport.OnReady(EPOLLIN);
    EXPECT_EQ(p.told.received, "AP> ");
    ::shutdown(p.peer, SHUT_WR);
    p.transport.OnReady(EPOLLIN);
    EXPECT_EQ(p.told.lost, SessionEnd::PeerClosed);
    EXPECT_FALSE(p.transport.Close().drain) << "the access point has closed already: nothing to wait for";
}

TEST(TcpTransport, APeerThatStopsReadingFailsTheSessionAndIsNotWaitedFor)
{
    Pair p;
    const std::string block(16 * 1024, 'x');
    for (int i = 0; i < 64 && !p.transport.failed(); ++i) {
        p.transport.Write(block);
        p.transport.Flush();
    }
    EXPECT_TRUE(p.transport.failed());
    EXPECT_TRUE(p.told.watched & EPOLLOUT) << "waits for the socket to take more";
    EXPECT_FALSE(p.transport.Close().drain);
}

TEST(TcpTransport, DisconnectShutsOurSideAndTheDrainKnowsIt)
{
    Pair p;
    p.transport.Write("q\r");
    EXPECT_EQ(p.transport.ShutSending(), ITransport::Shut::Waiting);
    EXPECT_EQ(p.PeerReads(), "q\r") << "what was written goes out before the shutdown";
    EXPECT_EQ(p.PeerReads(), "<eof>");
    p.transport.Write("too late\r");
    const Leftover left = p.transport.Close();
    EXPECT_TRUE(left.drain);
    EXPECT_TRUE(left.shut);
    EXPECT_EQ(left.unsent, "") << "nothing is written after our side is shut";
}

} // namespace
} // namespace approbe::session
