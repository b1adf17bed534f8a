local s = 0
for i = 0, 4999999 do s = s + (i - 2500000) end
print(s)
