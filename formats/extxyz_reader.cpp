// Extended and plain XYZ reader.
namespace morvak::formats {}
