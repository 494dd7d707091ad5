#include "app/globals.h"

FILE* log_file = stdout;
std::string log_name = "standard output";
bool debug = false;
thread_local std::string* log_capture = nullptr;
thread_local PairOutput* pair_capture = nullptr;
int processor = 0;
thread_local Timer t;
float t_use = 0, t_render = 0, t_read = 0;
thread_local std::vector<corner_t> good, bad, ignored;
thread_local std::vector<glm::vec2> good_in_b;
std::vector<exposure_t> exposure;
std::vector<ControlPoint> found_cps;
