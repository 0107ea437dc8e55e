// The JWT authentication module: provider records and the policy.
#pragma once

#include "corvane/auth/jwt/idp_config.hpp"
#include "corvane/auth/jwt/policy.hpp"
