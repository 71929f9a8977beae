#pragma once
// The kernel is compiled once per instruction set (see CMakeLists.txt). Every
// inline function of the engine's arithmetic headers lives in an inline
// namespace named after the instruction set of its translation unit, so the
// linker can never merge an AVX copy into code that must run on any x86-64.
#ifndef STRATA_ISA
#define STRATA_ISA baseline
#endif
