// Command tun2socks is the tests' stand-in for the outside tunnel bridge.
//
// It takes the same command line as the real bridge:
//
//	tun2socks -device tun://NAME -proxy socks5://127.0.0.1:PORT
//
// It creates the TUN device NAME and holds it for as long as it runs, brings
// the link up, and runs gVisor's user-space TCP/IP stack on the device. Every
// TCP connection that the system routes into the device is accepted by that
// stack and carried to its destination through a SOCKS5 CONNECT on the proxy.
// Every UDP flow (source and destination address and port) is carried through
// a SOCKS5 UDP ASSOCIATE of its own, so that a DNS query sent into the device
// reaches a server on the far side; a flow ends after udpIdleTimeout without a
// datagram from the client.
//
// It writes what it does to standard output and runs until it is killed.
package main

import (
	"flag"
	"fmt"
	"io"
	"log"
	"net"
	"os"
	"os/signal"
	"strings"
	"sync"
	"syscall"
	"time"

	"golang.org/x/sys/unix"
	"gvisor.dev/gvisor/pkg/tcpip"
	"gvisor.dev/gvisor/pkg/tcpip/adapters/gonet"
	"gvisor.dev/gvisor/pkg/tcpip/header"
	"gvisor.dev/gvisor/pkg/tcpip/link/fdbased"
	"gvisor.dev/gvisor/pkg/tcpip/link/rawfile"
	"gvisor.dev/gvisor/pkg/tcpip/link/tun"
	"gvisor.dev/gvisor/pkg/tcpip/network/ipv4"
	"gvisor.dev/gvisor/pkg/tcpip/network/ipv6"
	"gvisor.dev/gvisor/pkg/tcpip/stack"
	"gvisor.dev/gvisor/pkg/tcpip/transport/tcp"
	"gvisor.dev/gvisor/pkg/tcpip/transport/udp"
	"gvisor.dev/gvisor/pkg/waiter"
)

const (
	nicID            tcpip.NICID = 1
	handshakeTimeout             = 10 * time.Second
	udpIdleTimeout               = 30 * time.Second

	socksConnect      = 1
	socksUDPAssociate = 3
)

func main() {
	log.SetOutput(os.Stdout)
	log.SetFlags(log.Ldate | log.Lmicroseconds)
	log.SetPrefix("tun2socks: ")

	device := flag.String("device", "", "TUN device, as tun://NAME")
	proxy := flag.String("proxy", "", "SOCKS5 proxy, as socks5://HOST:PORT")
	flag.Parse()

	name := strings.TrimPrefix(*device, "tun://")
	if name == *device || name == "" || len(name) >= unix.IFNAMSIZ || flag.NArg() != 0 {
		log.Fatalf("usage: tun2socks -device tun://NAME -proxy socks5://HOST:PORT (NAME at most %d bytes)", unix.IFNAMSIZ-1)
	}
	proxyAddr := strings.TrimPrefix(*proxy, "socks5://")
	if proxyAddr == *proxy {
		log.Fatalf("unsupported proxy %q: only socks5://HOST:PORT is known", *proxy)
	}
	if _, _, err := net.SplitHostPort(proxyAddr); err != nil {
		log.Fatalf("bad proxy address %q: %v", proxyAddr, err)
	}

	fd, err := tun.Open(name)
	if err != nil {
		log.Fatalf("cannot create TUN device %s: %v", name, err)
	}
	if err := setLinkUp(name); err != nil {
		log.Fatalf("cannot bring %s up: %v", name, err)
	}
	mtu, err := rawfile.GetMTU(name)
	if err != nil {
		log.Fatalf("cannot read the MTU of %s: %v", name, err)
	}
	log.Printf("device %s created and up (mtu %d)", name, mtu)

	s, err := newStack(fd, mtu, proxyAddr)
	if err != nil {
		log.Fatalf("cannot start the network stack on %s: %v", name, err)
	}
	log.Printf("forwarding TCP and UDP from %s to socks5://%s", name, proxyAddr)

	signals := make(chan os.Signal, 1)
	signal.Notify(signals, syscall.SIGTERM, syscall.SIGINT)
	sig := <-signals
	log.Printf("%v: closing %s", sig, name)
	s.Close()
}

// setLinkUp sets IFF_UP on the device, as "ip link set dev NAME up" would.
func setLinkUp(name string) error {
	sock, err := unix.Socket(unix.AF_INET, unix.SOCK_DGRAM|unix.SOCK_CLOEXEC, 0)
	if err != nil {
		return err
	}
	defer unix.Close(sock)
	ifr, err := unix.NewIfreq(name)
	if err != nil {
		return err
	}
	if err := unix.IoctlIfreq(sock, unix.SIOCGIFFLAGS, ifr); err != nil {
		return err
	}
	ifr.SetUint16(ifr.Uint16() | unix.IFF_UP)
	return unix.IoctlIfreq(sock, unix.SIOCSIFFLAGS, ifr)
}

// newStack runs a gVisor stack on the TUN descriptor. The NIC is promiscuous
// and may spoof, so it accepts connections to any address and answers from
// that address, which is what a transparent bridge needs.
func newStack(fd int, mtu uint32, proxyAddr string) (*stack.Stack, error) {
	link, err := fdbased.New(&fdbased.Options{FDs: []int{fd}, MTU: mtu})
	if err != nil {
		return nil, err
	}
	s := stack.New(stack.Options{
		NetworkProtocols:   []stack.NetworkProtocolFactory{ipv4.NewProtocol, ipv6.NewProtocol},
		TransportProtocols: []stack.TransportProtocolFactory{tcp.NewProtocol, udp.NewProtocol},
	})
	if err := s.CreateNIC(nicID, link); err != nil {
		return nil, fmt.Errorf("CreateNIC: %v", err)
	}
	if err := s.SetPromiscuousMode(nicID, true); err != nil {
		return nil, fmt.Errorf("SetPromiscuousMode: %v", err)
	}
	if err := s.SetSpoofing(nicID, true); err != nil {
		return nil, fmt.Errorf("SetSpoofing: %v", err)
	}
	s.SetRouteTable([]tcpip.Route{
		{Destination: header.IPv4EmptySubnet, NIC: nicID},
		{Destination: header.IPv6EmptySubnet, NIC: nicID},
	})

	// At most 1024 handshakes in flight; the receive window is the default.
	forwarder := tcp.NewForwarder(s, 0, 1024, func(r *tcp.ForwarderRequest) {
		forwardTCP(r, proxyAddr)
	})
	s.SetTransportProtocolHandler(tcp.ProtocolNumber, forwarder.HandlePacket)

	// The first datagram of a flow makes its endpoint; later ones go to it.
	udpForwarder := udp.NewForwarder(s, func(r *udp.ForwarderRequest) {
		forwardUDP(s, r, proxyAddr)
	})
	s.SetTransportProtocolHandler(udp.ProtocolNumber, udpForwarder.HandlePacket)
	return s, nil
}

// forwardTCP runs in its own goroutine for each SYN that enters the device.
// The proxy is asked first; only when it agrees is the handshake completed,
// otherwise the client gets a reset.
func forwardTCP(r *tcp.ForwarderRequest, proxyAddr string) {
	id := r.ID()
	src := net.JoinHostPort(id.RemoteAddress.String(), fmt.Sprint(id.RemotePort))
	dst := net.JoinHostPort(id.LocalAddress.String(), fmt.Sprint(id.LocalPort))

	upstream, _, err := dialSocks5(proxyAddr, socksConnect, net.IP(id.LocalAddress), id.LocalPort)
	if err != nil {
		log.Printf("tcp %s -> %s: %v", src, dst, err)
		r.Complete(true)
		return
	}
	var wq waiter.Queue
	ep, tcpErr := r.CreateEndpoint(&wq)
	if tcpErr != nil {
		log.Printf("tcp %s -> %s: cannot accept: %v", src, dst, tcpErr)
		r.Complete(true)
		upstream.Close()
		return
	}
	r.Complete(false)
	local := gonet.NewTCPConn(&wq, ep)
	log.Printf("tcp %s -> %s: connected through the proxy", src, dst)

	// Copy both ways. A clean end of stream is passed on as a half-close, so
	// that request/response protocols finish; an error (a reset) on either
	// side closes both, so that the other copy cannot wait forever.
	var sent, received int64
	var wg sync.WaitGroup
	wg.Add(2)
	go func() {
		defer wg.Done()
		var err error
		if sent, err = io.Copy(upstream, local); err != nil {
			local.Close()
			upstream.Close()
		}
		upstream.CloseWrite()
	}()
	go func() {
		defer wg.Done()
		var err error
		if received, err = io.Copy(local, upstream); err != nil {
			local.Close()
			upstream.Close()
		}
		local.CloseWrite()
	}()
	wg.Wait()
	local.Close()
	upstream.Close()
	log.Printf("tcp %s -> %s: closed, %d bytes sent, %d received", src, dst, sent, received)
}

// forwardUDP runs in the stack's receive path for the first datagram of a new
// UDP flow. It makes the flow's endpoint there, while the datagram is at hand,
// and leaves the relaying to a goroutine: datagrams from the client go to the
// proxy's UDP relay with a SOCKS5 UDP header naming the destination, and the
// relay's answers go back without it.
func forwardUDP(s *stack.Stack, r *udp.ForwarderRequest, proxyAddr string) {
	id := r.ID()
	src := net.JoinHostPort(id.RemoteAddress.String(), fmt.Sprint(id.RemotePort))
	dst := net.JoinHostPort(id.LocalAddress.String(), fmt.Sprint(id.LocalPort))
	var wq waiter.Queue
	ep, tcpipErr := r.CreateEndpoint(&wq)
	if tcpipErr != nil {
		log.Printf("udp %s -> %s: cannot accept: %v", src, dst, tcpipErr)
		return
	}
	local := gonet.NewUDPConn(s, &wq, ep)
	go func() {
		defer local.Close()
		control, relayAddr, err := dialSocks5(proxyAddr, socksUDPAssociate, net.IPv4zero, 0)
		if err != nil {
			log.Printf("udp %s -> %s: %v", src, dst, err)
			return
		}
		// The association lasts as long as this control connection.
		defer control.Close()
		relay, err := net.DialUDP("udp", nil, relayAddr)
		if err != nil {
			log.Printf("udp %s -> %s: cannot reach the proxy's relay %v: %v", src, dst, relayAddr, err)
			return
		}
		log.Printf("udp %s -> %s: associated through the proxy", src, dst)
		header := socks5UDPHeader(net.IP(id.LocalAddress), id.LocalPort)

		var sent, received int
		answered := make(chan struct{})
		go func() {
			defer close(answered)
			buf := make([]byte, 65535)
			for {
				n, err := relay.Read(buf)
				if err != nil {
					return
				}
				if payload, ok := stripSocks5UDPHeader(buf[:n]); ok {
					received += len(payload)
					local.Write(payload)
				}
			}
		}()
		buf := make([]byte, 65535)
		for {
			local.SetReadDeadline(time.Now().Add(udpIdleTimeout))
			n, err := local.Read(buf)
			if err != nil {
				break
			}
			sent += n
			relay.Write(append(header[:len(header):len(header)], buf[:n]...))
		}
		relay.Close()
		<-answered
		log.Printf("udp %s -> %s: closed, %d bytes sent, %d received", src, dst, sent, received)
	}()
}

// socks5UDPHeader is what precedes each datagram to the relay (RFC 1928,
// section 7): reserved, fragment 0, the destination's address and port.
func socks5UDPHeader(addr net.IP, port uint16) []byte {
	header := []byte{0, 0, 0}
	return append(header, socks5Address(addr, port)...)
}

// stripSocks5UDPHeader returns the payload of a datagram from the relay;
// false for fragments and malformed headers, which are dropped.
func stripSocks5UDPHeader(datagram []byte) ([]byte, bool) {
	if len(datagram) < 4 || datagram[2] != 0 {
		return nil, false
	}
	var size int
	switch datagram[3] {
	case 1:
		size = 4 + 4 + 2
	case 4:
		size = 4 + 16 + 2
	case 3:
		if len(datagram) < 5 {
			return nil, false
		}
		size = 4 + 1 + int(datagram[4]) + 2
	default:
		return nil, false
	}
	if len(datagram) < size {
		return nil, false
	}
	return datagram[size:], true
}

// socks5Address is an address as SOCKS5 writes it: type 1 and four bytes for
// IPv4, type 4 and sixteen for IPv6, then the port.
func socks5Address(addr net.IP, port uint16) []byte {
	var out []byte
	if v4 := addr.To4(); v4 != nil {
		out = append([]byte{1}, v4...)
	} else {
		out = append([]byte{4}, addr.To16()...)
	}
	return append(out, byte(port>>8), byte(port))
}

// dialSocks5 sends one SOCKS5 request to the server at proxyAddr, without
// authentication (RFC 1928): CONNECT to addr:port, or UDP ASSOCIATE. It
// returns the connection and the address the server bound for the request
// (for UDP ASSOCIATE, its relay; an unspecified address there means the
// server's own). A server that does not finish the handshake within
// handshakeTimeout counts as a failure.
func dialSocks5(proxyAddr string, command byte, addr net.IP, port uint16) (*net.TCPConn, *net.UDPAddr, error) {
	conn, err := net.DialTimeout("tcp", proxyAddr, handshakeTimeout)
	if err != nil {
		return nil, nil, fmt.Errorf("cannot reach the proxy: %v", err)
	}
	fail := func(format string, args ...any) (*net.TCPConn, *net.UDPAddr, error) {
		conn.Close()
		return nil, nil, fmt.Errorf(format, args...)
	}
	conn.SetDeadline(time.Now().Add(handshakeTimeout))

	// Greeting: version 5, one method, "no authentication".
	if _, err := conn.Write([]byte{5, 1, 0}); err != nil {
		return fail("proxy greeting: %v", err)
	}
	reply := make([]byte, 2)
	if _, err := io.ReadFull(conn, reply); err != nil {
		return fail("proxy greeting: %v", err)
	}
	if reply[0] != 5 || reply[1] != 0 {
		return fail("proxy refused the greeting (%d %d)", reply[0], reply[1])
	}

	request := append([]byte{5, command, 0}, socks5Address(addr, port)...)
	if _, err := conn.Write(request); err != nil {
		return fail("proxy request %d: %v", command, err)
	}

	// Reply: version, status, reserved, address type, bound address, port.
	head := make([]byte, 4)
	if _, err := io.ReadFull(conn, head); err != nil {
		return fail("proxy reply: %v", err)
	}
	if head[1] != 0 {
		return fail("proxy request %d failed with status %d", command, head[1])
	}
	var size int
	switch head[3] {
	case 1:
		size = 4
	case 4:
		size = 16
	case 3:
		length := make([]byte, 1)
		if _, err := io.ReadFull(conn, length); err != nil {
			return fail("proxy reply: %v", err)
		}
		size = int(length[0])
	default:
		return fail("proxy reply has address type %d", head[3])
	}
	bound := make([]byte, size+2)
	if _, err := io.ReadFull(conn, bound); err != nil {
		return fail("proxy reply: %v", err)
	}
	conn.SetDeadline(time.Time{})
	relay := &net.UDPAddr{Port: int(bound[size])<<8 | int(bound[size+1])}
	if head[3] != 3 {
		relay.IP = net.IP(bound[:size])
	}
	if relay.IP == nil || relay.IP.IsUnspecified() {
		relay.IP = conn.RemoteAddr().(*net.TCPAddr).IP
	}
	return conn.(*net.TCPConn), relay, nil
}
