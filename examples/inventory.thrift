// A small warehouse inventory service.
namespace py inventory
namespace * com.example.inventory

include "common/base.thrift"

typedef i64 Timestamp

enum Category {
  TOOLS = 1,
  GARDEN,
  KITCHEN = 10,
}

struct Money {
  1: required string currency = "EUR",
  2: required i64 cents,
}

struct Location {
  1: string warehouse,
  2: i16 aisle,
  3: i16 shelf = 1,
}

struct Item {
  1: required i64 id,
  2: required string name,
  3: Category category = Category.TOOLS,
  4: Money price,
  5: list<Location> locations,
  6: set<string> tags = ["new"],
  7: map<string, string> attributes,
  8: optional binary thumbnail,
  9: Timestamp updated_at,
  10: double weight_kg = 1,
}

exception NotFound {
  1: i64 id,
  2: string message,
}

service Health {
  void ping(),
  string version(),
}

service Inventory extends Health {
  Item get_item(1: i64 id) throws (1: NotFound not_found),
  list<Item> search(1: string text, 2: optional Category category, 3: i32 limit = 20),
  i64 add_item(1: Item item),
  oneway void record_view(1: i64 id, 2: Timestamp at),
}
