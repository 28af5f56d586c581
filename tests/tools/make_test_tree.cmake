# cmake -DTREE=dir -P make_test_tree.cmake: the application tree that the
# Windows-side test packs into itself, with sizes around the writer's chunk.
file(REMOVE_RECURSE ${TREE})
string(REPEAT "0123456789abcdef" 2048 chunk)  # 32768 bytes
file(WRITE ${TREE}/main.dll "MZ stands in for the application library")
file(WRITE ${TREE}/empty.txt "")
file(WRITE ${TREE}/one.bin "1")
file(WRITE ${TREE}/chunk.bin "${chunk}")
file(WRITE ${TREE}/chunk_plus_one.bin "${chunk}!")
file(WRITE ${TREE}/two_chunks.bin "${chunk}${chunk}")
file(WRITE "${TREE}/Grüße/日本/名前.txt" "non-ASCII names")
file(WRITE ${TREE}/a/b/c/d/e/f/g/deep.txt "seven levels down")
file(WRITE ${TREE}/a/b/sibling.txt "beside c")
file(WRITE ${TREE}/a/top.txt "odd")
