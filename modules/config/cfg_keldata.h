// What GetKELData and SetKELData read from a client, without the web
// server: the query's pieces, the script of the settings it names, and the
// settings form.
#pragma once

#include <apr_tables.h>

#include <string>
#include <vector>

#include "cfg_settings.h"

// The query %XX-decoded (a malformed escape kept as it stands) and split at
// "&", empty pieces left out: the format ("Jscript", "Php", ...) and the
// setting names.
std::vector<std::string> KelDataQueryPieces(const char* query);
// The script of every named setting that has one, in the order named (the
// first piece, the format, is not a name); the settings lock is taken.
std::string KelDataScript(KelConfigServerConfig* config, const std::vector<std::string>& pieces);

// The name=value pairs of a SetKELData body into form, each value
// form-decoded, up to the first pair without a name. false, with form
// partly filled, when a value is malformed or holds markup or a query
// ("<", "?", ">"): the whole form is refused.
bool ReadKelDataForm(const std::string& body, apr_table_t* form);
