/*
 * Host stand-in of bionic's <sys/system_properties.h>: the limits that
 * <cutils/properties.h> builds on, and the one lookup the host store offers.
 */
#pragma once

#include <sys/cdefs.h>

#define PROP_NAME_MAX 32
#define PROP_VALUE_MAX 92

__BEGIN_DECLS

/* Copies the value of `name` into `value` (PROP_VALUE_MAX bytes) and returns
 * its length; an absent property gives "" and 0. */
int __system_property_get(const char* name, char* value);

__END_DECLS
