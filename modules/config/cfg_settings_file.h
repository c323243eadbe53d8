// The settings file conf/kelpd.xml as the settings module reads, repairs
// and writes it.
#pragma once

#include <string>

#include "cfg_settings.h"

namespace kel {
class XmlDocument;
}

// The settings file: the path the service program reads too.
std::string KelSettingsFilePath();
// Reads the settings file into the configuration; rejected values keep
// their default, which is written back into the file.
void ReadSettingsFile(KelConfigServerConfig* config);

// Sets the first element called name (or a new last child of the root) to
// value in the document, without saving it.
void SetSettingElement(kel::XmlDocument* doc, const char* name, const char* value);
// Replaces the settings file with the document (atomically); false, logged,
// when it could not be stored, and then the file is unchanged.
bool SaveSettingsFile(const kel::XmlDocument& doc, const std::string& path);
// SetSettingElement, then SaveSettingsFile; non-zero when saved.
int WriteSettingToFile(kel::XmlDocument* doc, const char* path, const char* name, const char* value);

// Validates one setting, writes it into the file and only then into
// memory (asking for a restart when the setting needs one); 1 on success.
int SetConfigValue(KelConfigServerConfig* config, const char* name, const char* value);
