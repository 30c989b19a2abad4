// The process-wide objects the handlers share.
//
// All are created once and never replaced: g_server during static
// initialisation, g_auth_version and g_log_manager by the entry point before
// the server listens. Handlers only read the pointers.

#ifndef GMI_SERVICE_H_
#define GMI_SERVICE_H_

#include <cstdint>

#include "http_server.h"
#include "stats/log_manager.h"

extern gmi_http_server g_server;
extern log_manager *g_log_manager;
extern uint32_t g_auth_version;

#endif  // GMI_SERVICE_H_
