// The messages of the Shorten bit reader and stream decoder: the helpers
// shorten::errors::NAME(values...) that common/catalogue.hpp makes from the
// entries of room "shorten" in common/messages.inc. A new message is one line there.
#pragma once

#include "common/catalogue.hpp"
