#pragma once
// The HTTP logger configurator: a small HTTP server, started by the log
// configuration source "http:port=<n>", that shows the process's log
// configuration entries and loggers as an HTML page at "/" and every path
// below it. It listens on the loopback address only, since the page describes
// the process.

#include "NptHttpServer.h"
#include "NptLogging.h"
#include "NptNetwork.h"
#include "NptResults.h"
#include "NptThreads.h"

class NPT_HttpLoggerConfigurator : public NPT_HttpRequestHandler, public NPT_Thread {
 public:
  // Port 0 picks any free port (see GetPort).
  NPT_HttpLoggerConfigurator(NPT_LogManager& manager, NPT_IpPort port);
  // Stops the server and waits for the serving thread.
  ~NPT_HttpLoggerConfigurator() override;

  // Binds the server, then starts the serving thread. The bind's failure is
  // returned (and nothing is started).
  NPT_Result Start() override;
  // The bound port; 0 before Start.
  NPT_IpPort GetPort() const { return m_Server.GetPort(); }

  // GET: the page (entries as "key=value", then loggers as "name,
  // level=<n>, handlers=<descriptions>"), "text/html". Other methods:
  // NPT_ERROR_HTTP_METHOD_NOT_SUPPORTED. Takes the manager's lock while it
  // reads the configuration.
  NPT_Result SetupResponse(NPT_HttpRequest& request, const NPT_HttpRequestContext& context,
                           NPT_HttpResponse& response) override;

  // The serving loop; ends when the destructor aborts the server.
  void Run() override;

 private:
  NPT_LogManager& m_Manager;
  NPT_HttpServer m_Server;
};
