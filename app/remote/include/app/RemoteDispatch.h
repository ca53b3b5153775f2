// The request dispatcher of both remote links, on the UI thread: gates, the request's effect through
// the pages, and the reply (or one error record) over the transport the settings name.
#pragma once
#include <windows.h>

class CMainFrame;

#define REMOTE_ERROR_REFUSED 503
#define REMOTE_ERROR_STEP 601

// msg 1125..1184; wParam 0, a character, or the request's field text (valid for the call).
LRESULT DispatchRemoteCommand(CMainFrame& frame, UINT msg, WPARAM wParam);
// A reply body to the host; nothing for an empty body.
void SendRemoteReply(CMainFrame& frame, const char* body);
void SendRemoteError(CMainFrame& frame, int code);
