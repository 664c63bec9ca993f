# Writes the default scenario file into a C++ source as one string, so that the tool carries it built in.
file(READ ${INPUT} content)
file(WRITE ${OUTPUT} "// The built-in default scenario, generated from tools/workbench/scenarios/default.qws.\n"
                     "#include \"default_scenario.h\"\n"
                     "const char* const kDefaultScenario = R\"qws(${content})qws\";\n")
