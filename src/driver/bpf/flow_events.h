/* What the kernel flow programs hand to user space, shared by both sides. Fixed-size fields
 * only, so the layout is the same for the BPF target and the host compiler. */
#ifndef ORV_DRIVER_BPF_FLOW_EVENTS_H
#define ORV_DRIVER_BPF_FLOW_EVENTS_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

/* Event types. */
#define ORV_EVENT_TCP_OPENED 1   /* a TCP connection reached ESTABLISHED */
#define ORV_EVENT_TCP_CLOSED 2   /* a TCP connection reached CLOSE: final counters */
#define ORV_EVENT_UDP_OPENED 3   /* the first datagram of a (socket, remote) pair */
#define ORV_EVENT_UDP_RELEASED 4 /* a UDP socket with pairs was released: only cookie is set */
#define ORV_EVENT_DNS_PACKET 5   /* a DNS query sent to port 53 or an answer from it */

/* The process that last created, bound, connected or sent on a socket. */
struct orv_owner {
  __u32 tgid;
  __u32 parent_tgid;
  __u64 start_boottime_ns; /* the thread group leader's start, as /proc/<pid>/stat counts it */
  __u64 exe_inode;         /* the image's inode and device (kernel encoding): 0 when unknown */
  __u32 exe_device;
  __u32 padding;
};

/* What the programs keep with each socket. User space seeds it for the sockets that existed
 * before the programs were attached. */
struct orv_socket_state {
  struct orv_owner owner;
  __u8 has_udp_pairs;
  __u8 padding[7];
};

struct orv_flow_event {
  __u8 type;
  __u8 protocol;  /* IPPROTO_TCP or IPPROTO_UDP */
  __u8 family;    /* AF_INET or AF_INET6 */
  __u8 direction; /* 1 when the remote end opened the flow */
  __u16 local_port; /* host order */
  __u16 remote_port;
  __u64 cookie;   /* the socket's cookie */
  __u64 time_ns;  /* CLOCK_MONOTONIC when the event was made */
  __u64 start_ns; /* CLOCK_MONOTONIC when the flow began; 0 when unknown */
  __u8 local_address[16]; /* network order; IPv4 in the first four bytes */
  __u8 remote_address[16];
  __u64 bytes_in; /* payload bytes */
  __u64 bytes_out;
  struct orv_owner owner;
};

/* A UDP flow in the kernel's table: one per (socket, remote address, remote port). User space
 * keys TCP connections the same way, with only the cookie set. */
struct orv_flow_key {
  __u64 cookie;
  __u8 remote_address[16];
  __u16 remote_port;
  __u8 family;
  __u8 padding[5];
};

struct orv_udp_counters {
  __u64 bytes_in;
  __u64 bytes_out;
  __u64 last_ns; /* CLOCK_MONOTONIC of the last datagram */
};

/* A live TCP connection's latest counters, for interim reports. */
struct orv_tcp_counters {
  __u64 bytes_in;
  __u64 bytes_out;
  __u64 start_ns;
  __u8 direction;
  __u8 padding[7];
};

/* DNS bytes a packet event carries: the 1232-byte payload that DNS over UDP keeps to, with room
 * for the length field of DNS over TCP. */
#define ORV_DNS_CAPTURE_BYTES 1280

/* A DNS packet on one of the machine's sockets: a query it sent to port 53 or an answer it
 * received from port 53. For TCP the payload is one segment's. */
struct orv_dns_event {
  __u8 type; /* ORV_EVENT_DNS_PACKET */
  __u8 protocol;
  __u8 family;
  __u8 egress;      /* 1 for a packet the socket sent */
  __u16 local_port; /* host order */
  __u16 remote_port;
  __u32 owner_tgid; /* the socket's owner; 0 when unknown */
  __u16 length;     /* payload bytes captured */
  __u8 truncated;   /* the payload was longer than ORV_DNS_CAPTURE_BYTES */
  __u8 padding;
  __u8 local_address[16]; /* network order; IPv4 in the first four bytes */
  __u8 remote_address[16];
  __u8 payload[ORV_DNS_CAPTURE_BYTES];
};

/* Map sizes: the state the programs can hold at most. */
#define ORV_RING_BYTES (4 * 1024 * 1024)
#define ORV_MAX_UDP_FLOWS 65536
#define ORV_MAX_TCP_FLOWS 32768

#endif
