// The data files both WMI doubles read: every file of the catalogue loads
// (a malformed one would silently take its class away), and cells are held
// to their column's type.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "TableData.h"

namespace {

std::string ReadData(const char* file) {
    std::ifstream in(std::string(DATA_DIR) + "/" + file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(TableData, EveryDataFileLoads) {
    const datatable::Tables tables = datatable::LoadAll(ReadData, 0);
    for (size_t i = 0; i < datatable::kDataFileCount; ++i) {
        const datatable::DataFile& file = datatable::kDataFiles[i];
        SCOPED_TRACE(file.file);
        const auto table = datatable::FindIn(tables, file.className, file.server ? file.server : L"");
        ASSERT_TRUE(table);
        EXPECT_FALSE(table->rows.empty());
        EXPECT_EQ(file.className, table->className);
    }
}

struct CellRow {
    const char* header;
    const char* cell;
    bool singleton;
    bool valid;
};

TEST(TableData, CellsHoldTheirType) {
    const CellRow rows[] = {
        {"K:string\tN:uint16", "a\t65535", false, true},
        {"K:string\tN:uint16", "a\t65536", false, false},
        {"K:string\tN:uint32", "a\t-1", false, false},
        {"K:string\tN:uint64", "a\t18446744073709551615", false, true},
        {"K:string\tN:uint64", "a\t18446744073709551616", false, false},
        {"K:string\tB:boolean", "a\tyes", false, false},
        {"K:string\tD:datetime", "a\t20261209115025.123456+060", false, true},
        {"K:string\tD:datetime", "a\t2026-12-09T11:50:25Z", false, false},
        {"K:string\tD:datetime", "a\tnow-60", false, true},
        {"K:string\tN:real32", "a\t1.5", false, false},
        {"K:string\tN:uint32", "\t1", false, false},  // no key
        {"K:string\tN:uint32", "\t1", true, true},    // a singleton needs none
        {"K:string\tN:uint32", "a\t1\nb\t2", true, false},
    };
    for (const CellRow& row : rows) {
        SCOPED_TRACE(std::string(row.header) + " / " + row.cell);
        datatable::Table table;
        table.singleton = row.singleton;
        EXPECT_EQ(row.valid, datatable::Parse(std::string(row.header) + "\n" + row.cell + "\n", 3600, &table));
    }
    // now-SECONDS: that long before now, in UTC, in WMI's form.
    datatable::Table table;
    ASSERT_TRUE(datatable::Parse("K:string\tD:datetime\na\tnow-60\n", 3600, &table));
    EXPECT_EQ(L"19700101005900.000000+000", table.rows[0][1]);
}

}  // namespace
