#include "core/LinkState.h"

TLinkState LinkState;
