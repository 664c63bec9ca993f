// The built-in default scenario: the text of tools/workbench/scenarios/default.qws, compiled into the tool.
#pragma once

extern const char* const kDefaultScenario;
