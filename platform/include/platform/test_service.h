#pragma once
// Test controls added with the parts of the system that need them.
