// TCP for scripts: one server with up to five clients, or one client of one
// server. The builtins move bytes between script memory and the rings of
// each connection and never wait for the network; one network thread moves
// bytes between the rings and the sockets.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

constexpr int kServerChannels = 5;

// Start-up ([System] Net on) and shut-down of the socket layer. Without the
// start-up a server cannot be opened and client connections fail.
bool NetStart();
void NetShutdown();

// Ends the open server or client and waits for its thread (net_close; also
// run by the runtime stop).
void NetClose();

// How many times the network thread has woken from its wait since start: a
// thread that sleeps while nothing moves keeps this still.
uint64_t NetworkThreadWakeUps();

// The engine's message for a socket error code ("未定義エラー" for codes
// without one).
const char* SocketErrorMessage(int32_t code);

uint32_t builtin_net_open(BuiltinArgs args);   // host name or 0, port
uint32_t builtin_net_close(BuiltinArgs args);  // none
uint32_t builtin_net_send(BuiltinArgs args);   // channel, data, length
uint32_t builtin_net_recv(BuiltinArgs args);   // channel, buffer, length
uint32_t builtin_net_state(BuiltinArgs args);  // none
