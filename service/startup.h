// Start-up and shutdown of the service, in the order the service relies on.
// This is the one place that knows every layer: it builds the parts and
// hands each the others it works with.
//
// Start-up: build the event loop; log "started" (console only: the system
// log is not set up yet); build the command handler, which owns the broker
// clients and the handling of arriving messages; register and load the
// broker table (handler 2, with broker removal as its removal hook), the
// subscription table (handler 3) and the received-message table (handler
// 4); create a broker client for every stored broker row; register the
// command handler (handler 1); schedule the default-client-identifier task
// for the first loop turn; set up the system log; run the loop.
// Shutdown, once the loop returns (SIGTERM or SIGINT): log "stopped"; the
// command handler goes, and with it the clients (each connected one sends
// DISCONNECT to its broker); then the loop; the tables and the log streams
// go at exit, in reverse order of their construction (see
// service_globals.h).
#pragma once

// Runs the service until the loop is stopped. Returns the process's exit
// status: 0 after a clean stop, 1 when the bus socket cannot be set up.
int runService();
