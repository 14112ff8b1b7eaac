#pragma once
// The HTTP logger configurator: a small HTTP server, started by the log
// configuration source "http:port=<n>", that shows the process's log
// configuration entries and loggers as an HTML page. It listens on the
// loopback address only, since the page describes the process.

#include "NptLogging.h"
#include "NptNetwork.h"
#include "NptResults.h"

class NPT_HttpLoggerConfigurator {
 public:
  // Creates the configurator for `manager` on `port` and starts its detached
  // serving thread; the configurator lives until the process ends. Fails
  // when the port cannot be bound or the thread cannot start. Called by the
  // manager while it configures, with its lock held: the thread never waits
  // for the caller, it only takes the manager's lock to render a page.
  static NPT_Result Start(NPT_LogManager& manager, NPT_IpPort port);
};
