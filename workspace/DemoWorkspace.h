#pragma once
// A demo installation of the program: it knows the window's stored defaults and its settings file.
#include <string>

namespace workspace {

// The program folder of a demo installation: MCOMPANY, one data dictionary for each company, KORVA.ini, and
// the folders that the window's stored default paths name.
void makeDemoWorkspace(const std::string& folder, const std::string& adminPassword);

} // namespace workspace
