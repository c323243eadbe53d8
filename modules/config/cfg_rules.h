// The rules of the settings model: whether a text is an acceptable value
// for a setting, and its stored form. Each has the KelSetting::validate
// signature and logs its own message for a refused value.
#pragma once

#include "cfg_settings.h"

int ValidateGroupList(KelSetting* s, char* value, int store);
int ValidateBoolean(KelSetting* s, char* value, int store);
int ValidateLocalAccessType(KelSetting* s, char* value, int store);
int ValidateTrustMode(KelSetting* s, char* value, int store);
int ValidateServerNames(KelSetting* s, char* value, int store);
int ValidateRestrictionList(KelSetting* s, char* value, int store);
int ValidateBindingList(KelSetting* s, char* value, int store);
int ValidateLockPorts(KelSetting* s, char* value, int store);
int ValidateSessionTimeout(KelSetting* s, char* value, int store);
int ValidateSessionMaximum(KelSetting* s, char* value, int store);
int ValidateUiTimeout(KelSetting* s, char* value, int store);

// The rule every setting shares before its own: no control character
// (below 0x20, or 0x7F) anywhere in the value. False, logged, for one.
bool ValueHasNoControlCharacter(const char* name, const char* value);
