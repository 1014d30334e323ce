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
// UDP is not forwarded: the stack answers it with ICMP port unreachable.
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
	log.Printf("forwarding TCP from %s to socks5://%s", name, proxyAddr)

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

	// Say once per destination that UDP goes nowhere, then leave the packet
	// to the stack, which answers with ICMP port unreachable.
	var mu sync.Mutex
	seen := map[string]bool{}
	s.SetTransportProtocolHandler(udp.ProtocolNumber, func(id stack.TransportEndpointID, _ stack.PacketBufferPtr) bool {
		to := net.JoinHostPort(id.LocalAddress.String(), fmt.Sprint(id.LocalPort))
		mu.Lock()
		first := !seen[to]
		seen[to] = true
		mu.Unlock()
		if first {
			log.Printf("udp to %s: not forwarded (UDP is not supported)", to)
		}
		return false
	})
	return s, nil
}

// forwardTCP runs in its own goroutine for each SYN that enters the device.
// The proxy is asked first; only when it agrees is the handshake completed,
// otherwise the client gets a reset.
func forwardTCP(r *tcp.ForwarderRequest, proxyAddr string) {
	id := r.ID()
	src := net.JoinHostPort(id.RemoteAddress.String(), fmt.Sprint(id.RemotePort))
	dst := net.JoinHostPort(id.LocalAddress.String(), fmt.Sprint(id.LocalPort))

	upstream, err := dialSocks5(proxyAddr, net.IP(id.LocalAddress), id.LocalPort)
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

// dialSocks5 opens a connection to addr:port through the SOCKS5 server at
// proxyAddr, without authentication (RFC 1928). A proxy that does not finish
// the handshake within handshakeTimeout counts as a failure.
func dialSocks5(proxyAddr string, addr net.IP, port uint16) (*net.TCPConn, error) {
	conn, err := net.DialTimeout("tcp", proxyAddr, handshakeTimeout)
	if err != nil {
		return nil, fmt.Errorf("cannot reach the proxy: %v", err)
	}
	fail := func(format string, args ...any) (*net.TCPConn, error) {
		conn.Close()
		return nil, fmt.Errorf(format, args...)
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

	// CONNECT to an IPv4 (type 1) or IPv6 (type 4) address.
	request := []byte{5, 1, 0, 1}
	if v4 := addr.To4(); v4 != nil {
		request = append(request, v4...)
	} else {
		request[3] = 4
		request = append(request, addr.To16()...)
	}
	request = append(request, byte(port>>8), byte(port))
	if _, err := conn.Write(request); err != nil {
		return fail("proxy CONNECT: %v", err)
	}

	// Reply: version, status, reserved, address type, bound address, port.
	head := make([]byte, 4)
	if _, err := io.ReadFull(conn, head); err != nil {
		return fail("proxy CONNECT reply: %v", err)
	}
	if head[1] != 0 {
		return fail("proxy CONNECT failed with status %d", head[1])
	}
	var rest int
	switch head[3] {
	case 1:
		rest = 4 + 2
	case 4:
		rest = 16 + 2
	case 3:
		length := make([]byte, 1)
		if _, err := io.ReadFull(conn, length); err != nil {
			return fail("proxy CONNECT reply: %v", err)
		}
		rest = int(length[0]) + 2
	default:
		return fail("proxy CONNECT reply has address type %d", head[3])
	}
	if _, err := io.ReadFull(conn, make([]byte, rest)); err != nil {
		return fail("proxy CONNECT reply: %v", err)
	}
	conn.SetDeadline(time.Time{})
	return conn.(*net.TCPConn), nil
}
