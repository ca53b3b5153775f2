// The platform API as the system's code sees it.
#pragma once
#include "qrx/types.h"
#include "qrx/handleapi.h"
#include "qrx/wstr.h"
#include "qrx/codepage.h"
#include "qrx/fileapi.h"
#include "qrx/ioapi.h"
#include "qrx/commapi.h"
#include "qrx/synchapi.h"
#include "qrx/registry.h"
#include "qrx/module.h"
#include "qrx/wingdi.h"
