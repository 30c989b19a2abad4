#include "service.h"

gmi_http_server g_server;
log_manager *g_log_manager = nullptr;
uint32_t g_auth_version = 0;
