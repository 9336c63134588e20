// The messages of payload decoding by coding: the helpers
// codecs::errors::NAME(values...) that common/catalogue.hpp makes from the
// entries of room "codecs" in common/messages.inc. A new message is one line there.
#pragma once

#include "common/catalogue.hpp"
