# A reader's own transport, Reader(host, transport="udp" | "tcp"), against
# qdsim --verbose on 127.0.0.154, whose log names the transport of every call.
import pytest

import qdapi
from qdapi.sim import VirtualReader

ADDRESS = "127.0.0.154"


def transports(daemon, procedure):
    """The transports of the logged calls of `procedure`, in order."""
    prefix = f"qdsim {ADDRESS}: {procedure} "
    return [line.split()[3] for line in daemon.log().splitlines() if line.startswith(prefix)]


@pytest.fixture
def use_tcp_restored():
    yield
    qdapi.settings.use_tcp = False


# transport, use_tcp when the reader is opened and when it connects again,
# get_pipeline_window's default for the transport.
KEPT = [
    ("udp", True, True, 8),
    ("udp", False, True, 8),
    ("tcp", False, False, 32),
    ("tcp", True, False, 32),
]


@pytest.mark.parametrize("transport, at_open, at_reconnection, window", KEPT,
                         ids=[f"{t}-{int(a)}{int(b)}" for t, a, b, _ in KEPT])
def test_a_reader_keeps_its_transport_across_reconnections(use_tcp_restored, transport, at_open,
                                                            at_reconnection, window):
    # The first tags_available gets an RPC error: the library drops the
    # connection, and the next call makes another.
    with VirtualReader(ADDRESS, verbose=True, fault="tags_available:error_reply:0:1") as daemon:
        qdapi.settings.use_tcp = at_open
        with qdapi.Reader(ADDRESS, transport=transport) as r:
            assert qdapi.settings.use_tcp == at_open, "the switch was changed"
            assert r.window == window
            qdapi.settings.use_tcp = at_reconnection
            with pytest.raises(qdapi.RemoteError):
                r.tags_available()
            assert r.window == window   # not connected: the transport of the next connection
            assert r.tags_available() == 0
            r.reconnect()
            assert r.window == window
        # Two connections, each asking for the hardware of both slots.
        assert transports(daemon, "get_hwid") == [transport] * 4
        assert transports(daemon, "tags_available") == [transport] * 2


REFUSED = [
    ("sctp", False),
    ("", False),
    ("TCP", False),
    ("udp", True),   # tcp=True and a transport say different things
    ("tcp", True),
]


@pytest.mark.parametrize("transport, tcp", REFUSED, ids=[f"{t or 'empty'}-{int(tcp)}" for t, tcp in REFUSED])
def test_a_transport_that_is_neither_is_refused(use_tcp_restored, transport, tcp):
    with VirtualReader(ADDRESS, verbose=True) as daemon:
        with pytest.raises(qdapi.InvalidArgumentError) as raised:
            qdapi.Reader(ADDRESS, tcp=tcp, transport=transport)
        assert raised.value.code == -100
        assert not qdapi.settings.use_tcp, "a refused reader switched the process to TCP"
        assert transports(daemon, "get_hwid") == []


def test_readers_of_both_transports_side_by_side(use_tcp_restored):
    with VirtualReader(ADDRESS, verbose=True) as daemon:
        with qdapi.Reader(ADDRESS, transport="udp") as u, qdapi.Reader(ADDRESS, transport="tcp") as t, \
                qdapi.Reader(ADDRESS) as plain:
            assert (u.window, t.window, plain.window) == (8, 32, 8)
            assert u.tags_available() == t.tags_available() == plain.tags_available() == 0
        assert sorted(transports(daemon, "tags_available")) == ["tcp", "udp", "udp"]
