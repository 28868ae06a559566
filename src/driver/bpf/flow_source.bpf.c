// SPDX-License-Identifier: GPL-2.0
/* The kernel side of the flow source: every TCP connection and every UDP (socket, remote)
 * pair of every process, with its owner and exact payload bytes, reported through a ring
 * buffer. Attached at the cgroup v2 root, so every process and network namespace is covered.
 *
 * Owners: the cgroup socket hooks run in the calling process, so creating, binding, connecting
 * and sending record the caller in the socket's storage; accepted sockets inherit the
 * listener's (BPF_F_CLONE). TCP: sock_ops sees the connection established and, through the
 * state callback, closed with the kernel's own counters. UDP: cgroup_skb counts each datagram's
 * payload per pair; the pair's final report follows the socket's release (user space reads the
 * counters) or its idleness. Nothing here ever blocks or refuses traffic: every program
 * returns "allow", and an event that does not fit the ring is counted in lost_events. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "flow_events.h"

#define AF_INET 2
#define AF_INET6 10
#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define TCP_CLOSE 7

char LICENSE[] SEC("license") = "GPL";

/* Events that did not fit the ring buffer. */
__u64 lost_events = 0;

struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC | BPF_F_CLONE);
  __type(key, int);
  __type(value, struct orv_socket_state);
} sockets SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, ORV_MAX_TCP_FLOWS);
  __type(key, __u64);
  __type(value, struct orv_tcp_counters);
} tcp_flows SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, ORV_MAX_UDP_FLOWS);
  __type(key, struct orv_flow_key);
  __type(value, struct orv_udp_counters);
} udp_flows SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, ORV_RING_BYTES);
} events SEC(".maps");

static __always_inline void read_owner(struct orv_owner *owner) {
  struct task_struct *task = (struct task_struct *)bpf_get_current_task();
  owner->tgid = BPF_CORE_READ(task, tgid);
  owner->parent_tgid = BPF_CORE_READ(task, real_parent, tgid);
  owner->start_boottime_ns = BPF_CORE_READ(task, group_leader, start_boottime);
  owner->exe_inode = BPF_CORE_READ(task, mm, exe_file, f_inode, i_ino);
  owner->exe_device = BPF_CORE_READ(task, mm, exe_file, f_inode, i_sb, s_dev);
}

static __always_inline int is_inet(__u32 family) {
  return family == AF_INET || family == AF_INET6;
}

/* Records the calling process as the socket's owner. */
static __always_inline void record_owner(struct bpf_sock *sk) {
  if (!sk || !is_inet(sk->family) ||
      (sk->protocol != IPPROTO_TCP && sk->protocol != IPPROTO_UDP)) {
    return;
  }
  struct orv_socket_state *state =
      bpf_sk_storage_get(&sockets, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  if (state) {
    read_owner(&state->owner);
  }
}

static __always_inline struct orv_flow_event *reserve_event(void) {
  struct orv_flow_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
  if (!event) {
    __sync_fetch_and_add(&lost_events, 1);
    return 0;
  }
  __builtin_memset(event, 0, sizeof(*event));
  return event;
}

SEC("cgroup/sock_create")
int on_sock_create(struct bpf_sock *sk) {
  record_owner(sk);
  return 1;
}

SEC("cgroup/post_bind4")
int on_post_bind4(struct bpf_sock *sk) {
  record_owner(sk);
  return 1;
}

SEC("cgroup/post_bind6")
int on_post_bind6(struct bpf_sock *sk) {
  record_owner(sk);
  return 1;
}

SEC("cgroup/connect4")
int on_connect4(struct bpf_sock_addr *ctx) {
  record_owner(ctx->sk);
  return 1;
}

SEC("cgroup/connect6")
int on_connect6(struct bpf_sock_addr *ctx) {
  record_owner(ctx->sk);
  return 1;
}

SEC("cgroup/sendmsg4")
int on_sendmsg4(struct bpf_sock_addr *ctx) {
  record_owner(ctx->sk);
  return 1;
}

SEC("cgroup/sendmsg6")
int on_sendmsg6(struct bpf_sock_addr *ctx) {
  record_owner(ctx->sk);
  return 1;
}

SEC("cgroup/sock_release")
int on_sock_release(struct bpf_sock *sk) {
  if (sk->protocol != IPPROTO_UDP) {
    return 1;
  }
  struct orv_socket_state *state = bpf_sk_storage_get(&sockets, sk, 0, 0);
  if (!state || !state->has_udp_pairs) {
    return 1;
  }
  struct orv_flow_event *event = reserve_event();
  if (event) {
    event->type = ORV_EVENT_UDP_RELEASED;
    event->protocol = IPPROTO_UDP;
    event->cookie = bpf_get_socket_cookie(sk);
    event->time_ns = bpf_ktime_get_ns();
    bpf_ringbuf_submit(event, 0);
  }
  return 1;
}

/* Fills the TCP connection's addresses, ports and owner from the sock_ops context. */
static __always_inline void describe_tcp(struct bpf_sock_ops *ops, struct orv_flow_event *event) {
  event->protocol = IPPROTO_TCP;
  event->family = ops->family;
  event->local_port = (__u16)ops->local_port;
  event->remote_port = (__u16)bpf_ntohl(ops->remote_port);
  if (ops->family == AF_INET) {
    __u32 local = ops->local_ip4;
    __u32 remote = ops->remote_ip4;
    __builtin_memcpy(event->local_address, &local, 4);
    __builtin_memcpy(event->remote_address, &remote, 4);
  } else {
    __u32 local[4] = {ops->local_ip6[0], ops->local_ip6[1], ops->local_ip6[2], ops->local_ip6[3]};
    __u32 remote[4] = {ops->remote_ip6[0], ops->remote_ip6[1], ops->remote_ip6[2],
                       ops->remote_ip6[3]};
    __builtin_memcpy(event->local_address, local, 16);
    __builtin_memcpy(event->remote_address, remote, 16);
  }
  struct bpf_sock *sk = ops->sk;
  if (sk) {
    struct orv_socket_state *state = bpf_sk_storage_get(&sockets, sk, 0, 0);
    if (state) {
      event->owner = state->owner;
    }
  }
}

static __always_inline void on_established(struct bpf_sock_ops *ops, __u8 direction) {
  bpf_sock_ops_cb_flags_set(ops, ops->bpf_sock_ops_cb_flags | BPF_SOCK_OPS_STATE_CB_FLAG);
  __u64 cookie = bpf_get_socket_cookie(ops);
  __u64 now = bpf_ktime_get_ns();
  struct orv_tcp_counters counters = {.start_ns = now, .direction = direction};
  bpf_map_update_elem(&tcp_flows, &cookie, &counters, BPF_ANY);
  struct orv_flow_event *event = reserve_event();
  if (!event) {
    return;
  }
  event->type = ORV_EVENT_TCP_OPENED;
  event->direction = direction;
  event->cookie = cookie;
  event->time_ns = now;
  event->start_ns = now;
  describe_tcp(ops, event);
  bpf_ringbuf_submit(event, 0);
}

/* The connection is over: its counters are final. Payload in is what was received less the
 * peer's FIN; payload out is what was sent less retransmissions (neither counts SYN or FIN). */
static __always_inline void on_closed(struct bpf_sock_ops *ops) {
  __u64 cookie = bpf_get_socket_cookie(ops);
  struct orv_flow_event *event = reserve_event();
  if (!event) {
    bpf_map_delete_elem(&tcp_flows, &cookie);
    return;
  }
  event->type = ORV_EVENT_TCP_CLOSED;
  event->cookie = cookie;
  event->time_ns = bpf_ktime_get_ns();
  struct orv_tcp_counters *live = bpf_map_lookup_elem(&tcp_flows, &cookie);
  if (live) {
    event->start_ns = live->start_ns;
    event->direction = live->direction;
  }
  describe_tcp(ops, event);
  event->bytes_in = ops->bytes_received;
  struct bpf_sock *sk = ops->sk;
  struct tcp_sock *tcp = sk ? bpf_skc_to_tcp_sock(sk) : 0;
  if (tcp) {
    __u64 sent = tcp->bytes_sent;
    __u64 retransmitted = tcp->bytes_retrans;
    event->bytes_out = sent > retransmitted ? sent - retransmitted : 0;
    /* SOCK_DONE: the peer's FIN arrived (sk_shutdown cannot tell: close sets it whole). */
    if ((tcp->inet_conn.icsk_inet.sk.__sk_common.skc_flags & (1UL << SOCK_DONE)) && event->bytes_in > 0) {
      event->bytes_in -= 1;
    }
  }
  bpf_map_delete_elem(&tcp_flows, &cookie);
  bpf_ringbuf_submit(event, 0);
}

SEC("sockops")
int on_sock_ops(struct bpf_sock_ops *ops) {
  switch (ops->op) {
    case BPF_SOCK_OPS_ACTIVE_ESTABLISHED_CB:
      on_established(ops, 0);
      break;
    case BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB:
      on_established(ops, 1);
      break;
    case BPF_SOCK_OPS_STATE_CB:
      if (ops->args[1] == TCP_CLOSE) {
        on_closed(ops);
      }
      break;
    default:
      break;
  }
  return 1;
}

/* A live connection's counters for interim reports, refreshed on each of its packets. */
static __always_inline void refresh_tcp(struct __sk_buff *skb, struct bpf_sock *sk) {
  __u64 cookie = bpf_get_socket_cookie(skb);
  struct orv_tcp_counters *live = bpf_map_lookup_elem(&tcp_flows, &cookie);
  struct bpf_tcp_sock *tcp = bpf_tcp_sock(sk);
  if (!live || !tcp) {
    return;
  }
  live->bytes_in = tcp->bytes_received;
  live->bytes_out = tcp->bytes_acked > 0 ? tcp->bytes_acked - 1 : 0; /* less the SYN */
}

/* The datagram's addresses and payload size, from the IP and UDP headers; 0 when it is not a
 * UDP datagram this program understands. */
static __always_inline int parse_udp(struct __sk_buff *skb, int egress, struct orv_flow_key *key,
                                     struct orv_flow_event *shape, __u64 *payload) {
  __u16 ports[2];
  __u32 header_length;
  if (skb->protocol == bpf_htons(ETH_P_IP)) {
    struct iphdr ip;
    if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip)) || ip.protocol != IPPROTO_UDP) {
      return 0;
    }
    header_length = ip.ihl * 4;
    if (header_length < sizeof(ip) || bpf_skb_load_bytes(skb, header_length, ports, 4)) {
      return 0;
    }
    key->family = AF_INET;
    __builtin_memcpy(key->remote_address, egress ? &ip.daddr : &ip.saddr, 4);
    __builtin_memcpy(shape->local_address, egress ? &ip.saddr : &ip.daddr, 4);
  } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
    struct ipv6hdr ip;
    if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip)) || ip.nexthdr != IPPROTO_UDP) {
      return 0;
    }
    header_length = sizeof(ip);
    if (bpf_skb_load_bytes(skb, header_length, ports, 4)) {
      return 0;
    }
    key->family = AF_INET6;
    __builtin_memcpy(key->remote_address, egress ? &ip.daddr : &ip.saddr, 16);
    __builtin_memcpy(shape->local_address, egress ? &ip.saddr : &ip.daddr, 16);
  } else {
    return 0;
  }
  key->remote_port = bpf_ntohs(egress ? ports[1] : ports[0]);
  shape->local_port = bpf_ntohs(egress ? ports[0] : ports[1]);
  __u32 headers = header_length + 8;
  *payload = skb->len > headers ? skb->len - headers : 0;
  return 1;
}

static __always_inline void count_udp(struct __sk_buff *skb, struct bpf_sock *sk, int egress) {
  struct orv_flow_key key = {};
  struct orv_flow_event shape = {};
  __u64 payload = 0;
  if (!parse_udp(skb, egress, &key, &shape, &payload)) {
    return;
  }
  key.cookie = bpf_get_socket_cookie(skb);
  __u64 now = bpf_ktime_get_ns();
  struct orv_udp_counters *counters = bpf_map_lookup_elem(&udp_flows, &key);
  if (counters) {
    __sync_fetch_and_add(egress ? &counters->bytes_out : &counters->bytes_in, payload);
    counters->last_ns = now;
    return;
  }
  struct orv_udp_counters fresh = {.last_ns = now};
  if (egress) {
    fresh.bytes_out = payload;
  } else {
    fresh.bytes_in = payload;
  }
  if (bpf_map_update_elem(&udp_flows, &key, &fresh, BPF_NOEXIST)) {
    counters = bpf_map_lookup_elem(&udp_flows, &key);
    if (counters) { /* another CPU made the pair first */
      __sync_fetch_and_add(egress ? &counters->bytes_out : &counters->bytes_in, payload);
    } else { /* no room: the LRU map could not free an entry in time */
      __sync_fetch_and_add(&lost_events, 1);
    }
    return;
  }
  struct orv_socket_state *state = bpf_sk_storage_get(&sockets, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
  struct orv_flow_event *event = reserve_event();
  if (!event || !state) {
    /* Without its opening event user space would never learn of the pair: forget it, so the
     * next datagram tries again. */
    if (event) {
      bpf_ringbuf_discard(event, 0);
    }
    bpf_map_delete_elem(&udp_flows, &key);
    return;
  }
  state->has_udp_pairs = 1;
  event->type = ORV_EVENT_UDP_OPENED;
  event->protocol = IPPROTO_UDP;
  event->family = key.family;
  event->direction = egress ? 0 : 1;
  event->cookie = key.cookie;
  event->time_ns = now;
  event->start_ns = now;
  event->local_port = shape.local_port;
  event->remote_port = key.remote_port;
  __builtin_memcpy(event->local_address, shape.local_address, 16);
  __builtin_memcpy(event->remote_address, key.remote_address, 16);
  event->owner = state->owner;
  bpf_ringbuf_submit(event, 0);
}

/* Where a packet's transport header and payload start, from its IP header; 0 when it is not TCP
 * or UDP over IP. */
static __always_inline int locate_transport(struct __sk_buff *skb, int egress,
                                            struct orv_dns_event *event, __u32 *transport) {
  if (skb->protocol == bpf_htons(ETH_P_IP)) {
    struct iphdr ip;
    if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip)) || ip.ihl < 5) {
      return 0;
    }
    event->family = AF_INET;
    event->protocol = ip.protocol;
    *transport = ip.ihl * 4;
    __builtin_memcpy(event->local_address, egress ? &ip.saddr : &ip.daddr, 4);
    __builtin_memcpy(event->remote_address, egress ? &ip.daddr : &ip.saddr, 4);
  } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
    struct ipv6hdr ip;
    if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip))) {
      return 0;
    }
    event->family = AF_INET6;
    event->protocol = ip.nexthdr;
    *transport = sizeof(ip);
    __builtin_memcpy(event->local_address, egress ? &ip.saddr : &ip.daddr, 16);
    __builtin_memcpy(event->remote_address, egress ? &ip.daddr : &ip.saddr, 16);
  } else {
    return 0;
  }
  return event->protocol == IPPROTO_UDP || event->protocol == IPPROTO_TCP;
}

/* A query the socket sends to port 53 or an answer it receives from port 53 goes to user space,
 * which learns host names from them; no other packet does. A packet of a socket connected
 * elsewhere costs one comparison, one of an unconnected UDP socket a look at its headers. */
static __always_inline void capture_dns(struct __sk_buff *skb, struct bpf_sock *sk, int egress) {
  const __u16 connected_port = bpf_ntohs((__u16)sk->dst_port);
  if (connected_port != 53 && !(sk->protocol == IPPROTO_UDP && connected_port == 0)) {
    return;
  }
  struct orv_dns_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
  if (!event) {
    __sync_fetch_and_add(&lost_events, 1);
    return;
  }
  __builtin_memset(event, 0, __builtin_offsetof(struct orv_dns_event, payload));
  __u32 offset = 0;
  __u16 ports[2];
  if (!locate_transport(skb, egress, event, &offset) ||
      bpf_skb_load_bytes(skb, offset, ports, sizeof(ports))) {
    bpf_ringbuf_discard(event, 0);
    return;
  }
  event->local_port = bpf_ntohs(egress ? ports[0] : ports[1]);
  event->remote_port = bpf_ntohs(egress ? ports[1] : ports[0]);
  if (event->protocol == IPPROTO_TCP) {
    __u8 data_offset = 0;
    if (bpf_skb_load_bytes(skb, offset + 12, &data_offset, 1)) {
      bpf_ringbuf_discard(event, 0);
      return;
    }
    offset += (data_offset >> 4) * 4;
  } else {
    offset += 8;
  }
  __u64 length = skb->len > offset ? (__u64)skb->len - offset : 0;
  if (event->remote_port != 53 || length == 0) { /* a TCP segment without data, or not DNS */
    bpf_ringbuf_discard(event, 0);
    return;
  }
  if (length > ORV_DNS_CAPTURE_BYTES) {
    length = ORV_DNS_CAPTURE_BYTES;
    event->truncated = 1;
  }
  /* The verifier must see the bound on the very register the helper gets. */
  asm volatile("" : "+r"(length));
  if (length == 0 || length > ORV_DNS_CAPTURE_BYTES ||
      bpf_skb_load_bytes(skb, offset, event->payload, length)) {
    bpf_ringbuf_discard(event, 0);
    return;
  }
  event->type = ORV_EVENT_DNS_PACKET;
  event->egress = egress;
  event->length = length;
  struct orv_socket_state *state = bpf_sk_storage_get(&sockets, sk, 0, 0);
  if (state) {
    event->owner_tgid = state->owner.tgid;
  }
  bpf_ringbuf_submit(event, 0);
}

static __always_inline int count_packet(struct __sk_buff *skb, int egress) {
  struct bpf_sock *sk = skb->sk;
  if (!sk) {
    return 1;
  }
  sk = bpf_sk_fullsock(sk);
  if (!sk) {
    return 1;
  }
  if (sk->protocol == IPPROTO_TCP) {
    refresh_tcp(skb, sk);
  } else if (sk->protocol == IPPROTO_UDP) {
    count_udp(skb, sk, egress);
  }
  capture_dns(skb, sk, egress);
  return 1;
}

SEC("cgroup_skb/ingress")
int on_ingress(struct __sk_buff *skb) { return count_packet(skb, 0); }

SEC("cgroup_skb/egress")
int on_egress(struct __sk_buff *skb) { return count_packet(skb, 1); }
