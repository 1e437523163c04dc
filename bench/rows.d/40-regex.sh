# The regular-expression facade asked about one constant pattern again and
# again, against compiling and matching it each time.
count=$(size 200000 20000)
row "Regular expression, same pattern x$count" --speedup 20 \
  --ours "'$build/bench/phbench-regex' cached $count" \
  --peer "'$build/bench/phbench-regex' compile $count"
