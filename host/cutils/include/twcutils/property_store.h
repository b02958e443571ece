/*
 * The host's system-property store: a text file of "key=value" lines under
 * the device root ("<root>/dev/__properties__/properties"). property_get()
 * reads it on every call; whoever stands in for init (the simulator, a test)
 * edits it with the functions below. Writers replace the file atomically
 * under an advisory lock, so readers never see half a store.
 *
 * Lines starting with '#' and lines without '=' are ignored; a key that
 * occurs twice takes its last value.
 */
#pragma once

#include <map>
#include <string>

namespace twcutils {

// Real path of the store for the current device root.
std::string propertyStorePath();

// All properties of the store file `file`; an absent file is an empty store.
std::map<std::string, std::string> propertyStoreLoad(const std::string& file);

// Sets `key` to `value` in `file` (created with its directory when missing).
// Refuses keys that are empty or hold '=', white space or control characters,
// and values holding a line break. Returns false with errno set on failure.
bool propertyStoreSet(const std::string& file, const std::string& key, const std::string& value);

// Removes `key` from `file`; true when the store no longer holds it.
bool propertyStoreRemove(const std::string& file, const std::string& key);

}  // namespace twcutils
