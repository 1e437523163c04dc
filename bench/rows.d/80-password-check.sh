# What a password costs the server on every request (it checks the password
# of each request and keeps no result for the user file): Apache's time per
# authenticated request with bcrypt at the cost new passwords get, against
# the same request with a DES crypt hash, one private server each.
if [ -x /usr/sbin/apache2 ]; then
  rounds=$([ "$quick" = 1 ] && echo 3 || echo 25)
  row "Password check, $rounds requests, bcrypt as written vs DES" --cpu 12 \
    --ours "'$build/bench/password_cost' --request bcrypt --rounds $rounds" \
    --peer "'$build/bench/password_cost' --request des --rounds $rounds"
else
  echo "| Password check per request | - | - | - | - | not measured: apache2 is not installed |"
fi
