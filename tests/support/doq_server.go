// A DNS over QUIC server for the tests (RFC 9250): it takes each query on a
// stream of its own and forwards it over UDP to an upstream resolver, so
// that its outcomes are the upstream's. It can hold streams to a limit,
// close each connection after a number of replies, and accept 0-RTT. With
// -dot it serves DNS over TLS too, forwarding alike, for the benchmark's
// comparison.
//
//	doq_server -listen ADDR:PORT -cert PEM -key PEM -upstream ADDR:PORT
//	           [-streams N] [-close-after N [-close-code N]] [-dot ADDR:PORT]
//
// With -misbehave it answers every query as a hostile server would, one
// way at a time, forwarding nothing: "junk" (bytes that are no DNS
// message), "reset" (the stream reset with DOQ_PROTOCOL_ERROR), "other"
// (a reply to another question), "close" (each connection closed as soon
// as its handshake is done); or "slow", an honest answer 300 ms late.
//
// It prints "ready" once it listens, then a line a connection as it ends:
// "conn replies=N streams=N early=BOOL".
package main

import (
	"context"
	"crypto/tls"
	"encoding/binary"
	"flag"
	"fmt"
	"io"
	"net"
	"os"
	"sync"
	"sync/atomic"
	"time"

	"github.com/lucas-clemente/quic-go"
)

var (
	listen     = flag.String("listen", "127.0.0.82:853", "address to listen on")
	certFile   = flag.String("cert", "server.pem", "certificate")
	keyFile    = flag.String("key", "server.key", "key")
	upstream   = flag.String("upstream", "127.0.0.80:53", "resolver to forward to")
	streams    = flag.Int64("streams", 100, "streams a connection may have open")
	closeAfter = flag.Int64("close-after", 0, "close a connection after so many replies")
	closeCode  = flag.Uint64("close-code", 0, "the error code it closes with")
	dot        = flag.String("dot", "", "also serve DNS over TLS here")
	misbehave  = flag.String("misbehave", "", "junk, reset, other, close or slow")
)

var out sync.Mutex

func say(format string, args ...interface{}) {
	out.Lock()
	defer out.Unlock()
	fmt.Printf(format+"\n", args...)
}

// Serves DNS over TLS: pipelined queries, each forwarded as it comes, the
// replies written as they return (RFC 7766).
func serveTLS(l net.Listener) {
	for {
		c, err := l.Accept()
		if err != nil {
			return
		}
		go func(c net.Conn) {
			defer c.Close()
			var mu sync.Mutex
			for {
				var length [2]byte
				if _, err := io.ReadFull(c, length[:]); err != nil {
					return
				}
				query := make([]byte, binary.BigEndian.Uint16(length[:]))
				if _, err := io.ReadFull(c, query); err != nil || len(query) < 12 {
					return
				}
				go func() {
					id := binary.BigEndian.Uint16(query)
					reply, err := forward(query)
					if err != nil {
						return
					}
					binary.BigEndian.PutUint16(reply, id)
					framed := make([]byte, 2+len(reply))
					binary.BigEndian.PutUint16(framed, uint16(len(reply)))
					copy(framed[2:], reply)
					mu.Lock()
					c.Write(framed)
					mu.Unlock()
				}()
			}
		}(c)
	}
}

func forward(query []byte) ([]byte, error) {
	c, err := net.Dial("udp", *upstream)
	if err != nil {
		return nil, err
	}
	defer c.Close()
	// The upstream sees an ID of its own; the stream's reply carries 0.
	q := append([]byte(nil), query...)
	binary.BigEndian.PutUint16(q, 0x5a5a)
	c.SetDeadline(time.Now().Add(3 * time.Second))
	if _, err := c.Write(q); err != nil {
		return nil, err
	}
	buf := make([]byte, 65535)
	n, err := c.Read(buf)
	if err != nil {
		return nil, err
	}
	if n >= 12 && buf[2]&0x02 != 0 {
		// Truncated: asked again over TCP, as a resolver would.
		return forwardTCP(q)
	}
	binary.BigEndian.PutUint16(buf, 0)
	return buf[:n], nil
}

func forwardTCP(q []byte) ([]byte, error) {
	c, err := net.Dial("tcp", *upstream)
	if err != nil {
		return nil, err
	}
	defer c.Close()
	c.SetDeadline(time.Now().Add(3 * time.Second))
	framed := make([]byte, 2+len(q))
	binary.BigEndian.PutUint16(framed, uint16(len(q)))
	copy(framed[2:], q)
	if _, err := c.Write(framed); err != nil {
		return nil, err
	}
	var length [2]byte
	if _, err := io.ReadFull(c, length[:]); err != nil {
		return nil, err
	}
	reply := make([]byte, binary.BigEndian.Uint16(length[:]))
	if _, err := io.ReadFull(c, reply); err != nil || len(reply) < 12 {
		return nil, fmt.Errorf("short reply over TCP")
	}
	binary.BigEndian.PutUint16(reply, 0)
	return reply, nil
}

type conn struct {
	quic.Connection
	taken   int64 // queries read
	replies int64
	streams int64
}

func (c *conn) serve(s quic.Stream) {
	atomic.AddInt64(&c.streams, 1)
	var length [2]byte
	if _, err := io.ReadFull(s, length[:]); err != nil {
		return
	}
	query := make([]byte, binary.BigEndian.Uint16(length[:]))
	if _, err := io.ReadFull(s, query); err != nil || len(query) < 12 {
		s.CancelRead(2)
		return
	}
	// RFC 9250: the Message ID is 0, and the client ends its side.
	if binary.BigEndian.Uint16(query) != 0 {
		c.CloseWithError(2, "message id not 0")
		return
	}
	if *misbehave != "" {
		c.misbehave(s, query)
		return
	}
	// Past its limit a connection answers no more: it is about to close.
	n := atomic.AddInt64(&c.taken, 1)
	if *closeAfter > 0 && n > *closeAfter {
		return
	}
	reply, err := forward(query)
	if err != nil {
		s.CancelWrite(2)
		return
	}
	framed := make([]byte, 2+len(reply))
	binary.BigEndian.PutUint16(framed, uint16(len(reply)))
	copy(framed[2:], reply)
	s.Write(framed)
	s.Close()
	atomic.AddInt64(&c.replies, 1)
	if *closeAfter > 0 && n == *closeAfter {
		// The replies written leave first; what is unanswered goes with
		// the connection.
		time.AfterFunc(20*time.Millisecond, func() {
			c.CloseWithError(quic.ApplicationErrorCode(*closeCode), "enough")
		})
	}
}

// One misbehaviour, on the stream of `query`.
func (c *conn) misbehave(s quic.Stream, query []byte) {
	switch *misbehave {
	case "junk":
		junk := make([]byte, 300)
		for i := range junk {
			junk[i] = 0xab
		}
		s.Write(junk)
	case "reset":
		s.CancelWrite(2) // DOQ_PROTOCOL_ERROR
		return
	case "other", "slow":
		// The query as a reply holding one answer; for "other", to a
		// name one letter off: "n0" becomes "o0".
		reply := append([]byte(nil), query...)
		reply[2] |= 0x80
		reply[7] = 1
		if *misbehave == "other" {
			reply[13] ^= 0x01
		} else {
			time.Sleep(300 * time.Millisecond)
		}
		framed := make([]byte, 2+len(reply))
		binary.BigEndian.PutUint16(framed, uint16(len(reply)))
		copy(framed[2:], reply)
		s.Write(framed)
	}
	s.Close()
}

func (c *conn) run(early bool) {
	for {
		s, err := c.AcceptStream(context.Background())
		if err != nil {
			break
		}
		go c.serve(s)
	}
	say("conn replies=%d streams=%d early=%v", atomic.LoadInt64(&c.replies),
		atomic.LoadInt64(&c.streams), early)
}

func exitOn(err error) {
	if err != nil {
		fmt.Fprintln(os.Stderr, "doq_server:", err)
		os.Exit(1)
	}
}

func main() {
	flag.Parse()
	cert, err := tls.LoadX509KeyPair(*certFile, *keyFile)
	exitOn(err)
	tlsConf := &tls.Config{
		Certificates: []tls.Certificate{cert},
		NextProtos:   []string{"doq"},
	}
	config := &quic.Config{
		MaxIncomingStreams: *streams,
		MaxIdleTimeout:     5 * time.Second,
	}
	ctx := context.Background()
	if *dot != "" {
		l, err := tls.Listen("tcp", *dot, &tls.Config{Certificates: []tls.Certificate{cert}})
		exitOn(err)
		go serveTLS(l)
	}
	l, err := quic.ListenAddrEarly(*listen, tlsConf, config)
	exitOn(err)
	say("ready")
	for {
		c, err := l.Accept(ctx)
		if err != nil {
			return
		}
		go func() {
			cc := &conn{Connection: c}
			<-c.HandshakeComplete().Done()
			if *misbehave == "close" {
				c.CloseWithError(0, "")
			}
			cc.run(c.ConnectionState().TLS.Used0RTT)
		}()
	}
}
