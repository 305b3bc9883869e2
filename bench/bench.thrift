// Data shapes for bench/serialize.py. Fields are declared in id order so that
// every library writes them in the same order and Binary bytes can be compared.
namespace py bench_gen

struct Address {
  1: string street
  2: string city
  3: string country
  4: i32 postal_code
  5: double latitude
  6: double longitude
}

struct LineItem {
  1: i64 sku
  2: string title
  3: i32 quantity
  4: double unit_price
  5: bool gift
}

// A realistic message: nested structs, a list of structs, a map, strings,
// a few hundred bytes of binary, integers, a double, a bool and a set.
struct Order {
  1: i64 order_id
  2: string customer
  3: string email
  4: Address shipping
  5: Address billing
  6: list<LineItem> items
  7: map<string, string> attributes
  8: set<string> tags
  9: binary signature
  10: i64 created_at
  11: double total
  12: bool paid
  13: list<i32> history
}

// A small flat message: a handful of scalars and a short string.
struct Ping {
  1: i32 seq
  2: i64 timestamp
  3: double load
  4: bool healthy
  5: string host
}
