// The nine token members the control object dispatches to: staging the
// token message, signing it through the key's provider, verifying it and
// reading its parts back.
#pragma once

#include "token/token_message.h"
#include "token/token_signing.h"
#include "token/token_verification.h"
