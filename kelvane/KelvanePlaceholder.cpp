// Keeps the kelvane library non-empty until its sources land.
namespace kv { int kelvanePlaceholder() { return 0; } }
