// The HTTP logger configurator.

#include "NptLogHttpConfigurator.h"

#include "NptHttp.h"

namespace {

// Keys and values come from the environment and configuration files; they are
// shown as text, never as markup.
void AppendEscaped(NPT_String& page, const char* text) {
  for (const char* c = text; *c; ++c) {
    switch (*c) {
      case '<': page += "&lt;"; break;
      case '>': page += "&gt;"; break;
      case '&': page += "&amp;"; break;
      case '"': page += "&quot;"; break;
      default: page += *c; break;
    }
  }
}

}  // namespace

NPT_HttpLoggerConfigurator::NPT_HttpLoggerConfigurator(NPT_LogManager& manager, NPT_IpPort port)
    : NPT_Thread(false), m_Manager(manager), m_Server(NPT_IpAddress::Loopback, port, true) {
  m_Server.AddRequestHandler(this, "/", true);
}

NPT_HttpLoggerConfigurator::~NPT_HttpLoggerConfigurator() {
  m_Server.Abort();
  Wait();
}

NPT_Result NPT_HttpLoggerConfigurator::Start() {
  NPT_Result result = m_Server.Bind();
  if (NPT_FAILED(result)) return result;
  return NPT_Thread::Start();
}

void NPT_HttpLoggerConfigurator::Run() { m_Server.Loop(); }

NPT_Result NPT_HttpLoggerConfigurator::SetupResponse(NPT_HttpRequest& request, const NPT_HttpRequestContext&,
                                                     NPT_HttpResponse& response) {
  if (request.GetMethod() != "GET") return NPT_ERROR_HTTP_METHOD_NOT_SUPPORTED;

  NPT_String page("<html><head><title>Logging</title></head><body><h2>Configuration</h2><ul>");
  {
    NPT_AutoLock lock(m_Manager.GetLock());
    for (NPT_List<NPT_LogConfigEntry>::Iterator i = m_Manager.GetConfig().GetFirstItem(); i; ++i) {
      page += "<li>";
      AppendEscaped(page, i->m_Key);
      page += "=";
      AppendEscaped(page, i->m_Value);
      page += "</li>";
    }
    page += "</ul><h2>Loggers</h2><ul>";
    for (NPT_List<NPT_Logger*>::Iterator i = m_Manager.GetLoggers().GetFirstItem(); i; ++i) {
      NPT_Logger* logger = *i;
      page += "<li>";
      AppendEscaped(page, logger->GetName());
      page += ", level=";
      page += NPT_String::FromInteger(logger->GetLevel());
      page += ", handlers=";
      for (NPT_List<NPT_LogHandler*>::Iterator h = logger->GetHandlers().GetFirstItem(); h; ++h) {
        AppendEscaped(page, (*h)->ToString());
      }
      page += "</li>";
    }
  }
  page += "</ul></body></html>";

  NPT_HttpEntity* entity = response.GetEntity();
  if (entity == nullptr) return NPT_ERROR_INTERNAL;
  NPT_Result result = entity->SetInputStream(page);
  if (NPT_FAILED(result)) return result;
  return entity->SetContentType("text/html");
}
