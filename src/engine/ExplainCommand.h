#pragma once
// vigilor.exe /explain=<program>: which rule of each family applies to a program, and what the
// engine does with it, read from the configuration exactly as the engine reads it. It never
// writes the file.
#include <string>

namespace cv {

// The report goes to the console of the program that started the engine, else to
// corvex-explain.txt beside the configuration. Always 0.
int RunExplain(const std::wstring& target);

}  // namespace cv
