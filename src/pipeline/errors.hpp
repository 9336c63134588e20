// The messages of the conversion drivers and the WAV writer: the helpers
// pipeline::errors::NAME(values...) that common/catalogue.hpp makes from the
// entries of room "pipeline" in common/messages.inc. A new message is one line there.
#pragma once

#include "common/catalogue.hpp"
