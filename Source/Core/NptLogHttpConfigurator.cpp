// The HTTP logger configurator.

#include "NptLogHttpConfigurator.h"

NPT_Result NPT_HttpLoggerConfigurator::Start(NPT_LogManager&, NPT_IpPort) { return NPT_ERROR_NOT_IMPLEMENTED; }
