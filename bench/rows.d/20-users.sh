# Changing one user's password in a large user file, against htpasswd on the
# same file. Every run of either side sets a password the user did not have
# (the run's own process id), so every run rewrites the file for real.
users=$(size 100000 5000)
# Ten times as many: the rewrite reads and writes in pieces, so its memory
# must not grow with the file.
many=$(size 1000000 50000)
mkdir -p "$work/ours" "$work/peer" "$work/many"
"$root/bench/make-inputs" users "$work/ours/.htusers" "$users"
cp "$work/ours/.htusers" "$work/peer/.htusers"
"$root/bench/make-inputs" users "$work/many/.htusers" "$many"
middle=$(printf 'user%06d' $((users / 2)))
change="echo pw\$\$ | XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root"
row "Change one password (new each run), $users users" --cpu 1.0 \
  --ours "$change '$work/ours' user passwd $middle" \
  --peer "htpasswd -b -d '$work/peer/.htusers' $middle pw\$\$ 2>/dev/null"
# Memory against what any Qt Core program takes before it does anything.
row "Same, peak memory above a program that only links Qt Core" --memory-above 4 \
  --ours "$change '$work/ours' user passwd $middle" \
  --peer "'$build/bench/phbench-qtcore-floor'"
# Memory that does not grow with the file.
row "Same, $many vs $users users" --memory 1.1 \
  --ours "$change '$work/many' user passwd $middle" \
  --peer "$change '$work/ours' user passwd $middle"
# Removing a user, against htpasswd -D on the same file. Each run of either
# side adds the user back at the end (one line the shell appends), so every
# run removes it for real.
gone=$(printf 'user%06d' $((users / 3)))
remove="XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root"
# Every run removes the user a third of the way down a fresh copy of the
# file, made before the timed part.
mkdir -p "$work/fresh"
"$root/bench/make-inputs" users "$work/fresh/.htusers" "$users"
row "Remove one user, a third of the way down, $users users" --cpu 1.0 \
  --before "cp '$work/fresh/.htusers' '$work/ours/.htusers' && cp '$work/fresh/.htusers' '$work/peer/.htusers'" \
  --ours "$remove '$work/ours' user del $gone" \
  --peer "htpasswd -D '$work/peer/.htusers' $gone 2>/dev/null"
# The user added back at the end after each run: the last line, where
# nothing is found before the whole file is read.
row "Remove the last user (added back each run), $users users" --cpu 1.0 \
  --ours "$remove '$work/ours' user del $gone && echo $gone:yTgp8vMlKL2hW >>'$work/ours/.htusers'" \
  --peer "htpasswd -D '$work/peer/.htusers' $gone 2>/dev/null && echo $gone:yTgp8vMlKL2hW >>'$work/peer/.htusers'"
# The line is taken out in one pass in pieces: memory that does not grow
# with the file.
row "User removed, $many vs $users users" --memory 1.1 \
  --ours "$remove '$work/many' user del $gone && echo $gone:yTgp8vMlKL2hW >>'$work/many/.htusers'" \
  --peer "$remove '$work/ours' user del $gone && echo $gone:yTgp8vMlKL2hW >>'$work/ours/.htusers'"
