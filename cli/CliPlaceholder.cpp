// Keeps the front-end library non-empty until its sources land.
namespace tw { int cliPlaceholder() { return 0; } }
