// Cell-list neighbour search.
namespace morvak::models {}
