#include "platform/tls/Tls.h"
#include <gtest/gtest.h>
TEST(Tls, Placeholder) {}
