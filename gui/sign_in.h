// Trellium's sign-in, as the web server asks for it: PAM and the
// administrators' group decide (modules/pam_sign_in.h), and every sign-in,
// failed sign-in and sign-out is a line of the audit log.
#pragma once

#include <string>

#include "web/sign_in.h"

// group: the administrators' group (--admin-group).
web::SignIn trelliumSignIn(const std::string& group);
