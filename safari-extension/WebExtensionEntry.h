/* The plain C interface of the Tessary_Web_Extension plug-in, for the process that hosts the web
 * extension's native messaging. Every entry is safe to call from any thread. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define TESSARY_LOG_DEBUG 0
#define TESSARY_LOG_INFO 1
#define TESSARY_LOG_ERROR 2

typedef void (*TessaryLogHandler)(void* context, int level, const char* subsystem, const char* category,
                                  const char* message);

/* Handles one message. messageJson is the message dictionary as UTF-8 JSON text (NULL counts as no
 * message). Returns the reply dictionary as NUL-terminated compact JSON, to be released with
 * tessary_web_extension_free_reply; NULL only when memory ran out. Any event is stored before it
 * returns. */
char* tessary_web_extension_handle_message(const char* messageJson);
void tessary_web_extension_free_reply(char* reply);

/* Sends the plug-in's log lines to handler instead of the system log; NULL restores the system log.
 * The handler runs on the thread that handles the message and must not call back into the plug-in. */
void tessary_web_extension_set_log_handler(TessaryLogHandler handler, void* context);

#ifdef __cplusplus
}
#endif
