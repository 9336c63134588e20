// The messages of the SPHERE header parser, the field readings and the
// declared payload size: the helpers sphere::errors::NAME(values...) that
// common/catalogue.hpp makes from the entries of room "sphere" in
// common/messages.inc. A new message is one line there.
#pragma once

#include "common/catalogue.hpp"
