/* zstd's command-line program as a program of its own, from the same
 * objects as the packaged one. */
int zstd_program_main(int argCount, const char* argv[]);

int main(int argc, char** argv) {
    return zstd_program_main(argc, (const char**)argv);
}
